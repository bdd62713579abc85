fw_add_test(tst_pacedlink SOURCES tst_pacedlink.cpp)
fw_add_test(tst_fwdevsim SOURCES tst_fwdevsim.cpp)
