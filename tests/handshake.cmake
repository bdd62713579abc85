# Bootloader handshake, version rule and console command exchange.
fw_add_test(tst_versionrule SOURCES tst_versionrule.cpp)
