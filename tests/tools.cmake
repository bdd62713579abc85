fw_add_test(tst_pacedlink SOURCES tst_pacedlink.cpp)
fw_add_test(tst_fwdevsim SOURCES tst_fwdevsim.cpp)
target_compile_definitions(tst_fwdevsim PRIVATE FWDEVSIM_PATH="$<TARGET_FILE:fwdevsim>")
add_dependencies(tst_fwdevsim fwdevsim)
