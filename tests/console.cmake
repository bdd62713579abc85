# The log panel and the command console.
fw_add_test(tst_console SOURCES tst_console.cpp)
