# The station window fwstation: its rules, a render of its grid and a run against simulated boards.
fw_add_test(tst_station SOURCES tst_station.cpp TIMEOUT 180)
add_dependencies(tst_station fwdevsim)
