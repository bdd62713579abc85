# The update records: store, spool, several processes and a PostgreSQL server of the test's own,
# and the history view.
fw_add_test(tst_records SOURCES tst_records.cpp)
target_link_libraries(tst_records PRIVATE fwrecordsamples)
target_compile_definitions(tst_records PRIVATE FWRECORDFILL_PATH="$<TARGET_FILE:fwrecordfill>"
                                              FWFLASH_PATH="$<TARGET_FILE:fwflash>")
add_dependencies(tst_records fwrecordfill fwflash fwdevsim)
