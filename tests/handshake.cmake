# Bootloader handshake, version rule and console command exchange.
fw_add_test(tst_versionrule SOURCES tst_versionrule.cpp)
fw_add_test(tst_command_exchange SOURCES tst_command_exchange.cpp)
fw_add_test(tst_handshake SOURCES tst_handshake.cpp)
