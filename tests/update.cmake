# Image selection, update flow, port discovery, settings and window geometry.
fw_add_test(tst_firmwarerules SOURCES tst_firmwarerules.cpp)
