# The device simulator and its paced link are tested with the command-line flasher, in tst_fwflash
# (cli.cmake).
