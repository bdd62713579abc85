fw_add_test(tst_pacedlink SOURCES tst_pacedlink.cpp)
