# The window: theme, custom widgets, connection state, frame and the rendered look.
fw_add_test(tst_theme SOURCES tst_theme.cpp)
fw_add_test(tst_widgets SOURCES tst_widgets.cpp)
fw_add_test(tst_window_state SOURCES tst_window_state.cpp window_access.h)
fw_add_test(tst_window_frame SOURCES tst_window_frame.cpp window_access.h)
fw_add_test(tst_window_render SOURCES tst_window_render.cpp window_access.h)
