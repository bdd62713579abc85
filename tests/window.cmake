# The window: custom widgets and the confirmation, then the window's states, frame and look.
fw_add_test(tst_widgets SOURCES tst_widgets.cpp)
fw_add_test(tst_window SOURCES tst_window.cpp window_access.h)
