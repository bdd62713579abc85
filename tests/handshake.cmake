# The serial worker: port handling, bootloader handshake, console command exchange, version rule.
fw_add_test(tst_serialworker SOURCES tst_serialworker.cpp)
