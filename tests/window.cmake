# The window, its custom widgets and the confirmation dialog.
fw_add_test(tst_window SOURCES tst_window.cpp window_access.h)
