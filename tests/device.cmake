# YMODEM sender with its completion check, and the interoperability check with rb.
fw_add_test(tst_ymodem_transfer SOURCES tst_ymodem_transfer.cpp)
fw_add_test(tst_interop_rb TIMEOUT 300 SOURCES tst_interop_rb.cpp)
