# Log panel and command console.
fw_add_test(tst_logpanel SOURCES tst_logpanel.cpp)
fw_add_test(tst_console SOURCES tst_console.cpp)
