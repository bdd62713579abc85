# The command-line flasher and the device simulator, run as programs.
fw_add_test(tst_fwflash SOURCES tst_fwflash.cpp)
target_compile_definitions(tst_fwflash PRIVATE FWFLASH_PATH="$<TARGET_FILE:fwflash>")
target_link_libraries(tst_fwflash PRIVATE fwrecordsamples)
add_dependencies(tst_fwflash fwflash fwdevsim)
