fw_add_test(tst_fwflash SOURCES tst_fwflash.cpp)
target_compile_definitions(tst_fwflash PRIVATE FWFLASH_PATH="$<TARGET_FILE:fwflash>"
                                               FWDEVSIM_PATH="$<TARGET_FILE:fwdevsim>")
add_dependencies(tst_fwflash fwflash fwdevsim)
