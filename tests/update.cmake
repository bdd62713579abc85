# Image selection, update flow, port discovery, settings and window geometry.
fw_add_test(tst_firmwarerules SOURCES tst_firmwarerules.cpp)
fw_add_test(tst_firmware_selection SOURCES tst_firmware_selection.cpp window_access.h)
fw_add_test(tst_update_flow SOURCES tst_update_flow.cpp window_access.h)
fw_add_test(tst_port_discovery SOURCES tst_port_discovery.cpp window_access.h)
fw_add_test(tst_e2e_update SOURCES tst_e2e_update.cpp window_access.h)
