"""The picup program's command line and settings file, seen from outside:
usage text, unknown options, the stored port and baud rate, and the log that
is only created once the port is open."""

import os
import shutil
import subprocess
import tempfile
import termios
import time
import unittest

from harness import PtyLine

PICUP = os.environ.get("PICUP", "")

USAGE = (
    "\n**********************************************************************\n"
    "**   Uploads hexfile to PIC microcontroller by serial Programmer    **\n"
    "**********************************************************************\n"
    "\nUsage: picup [option [option]...] [<hexfile>]\n"
    "Example: picup /COM4 /BAUD=9600 blinky.hex\n"
    "\nOptions:\n"
    "/BAUD=<baudrate>   *  set baud rate for serial communication\n"
    "/BULKERASE            Bulk Erase all memory\n"
    "/COM<n>            *  select COM port for serial communication\n"
    "/ERASE<from-to>       erase PIC's memory in given address range\n"
    "/FILL<from-to,value>  fill memory (from-to) with (value)\n"
    "/INFO                 show information about target\n"
    "/LOG                  log communication process into picup.log\n"
    "/OSCCAL               run OSCCAL calibration helper\n"
    "/READ<from-to>        read out and display data from PIC's memory\n"
    "\nSettings marked with (*) are stored in picup.cfg and used from\n"
    "this file, until settings are modified by command line options.\n"
    "Numbers may be given in decimal (nn) or hexadecimal (0xnn) notation.\n"
    "\nCommon Address mappings:\n"
    "0x0000: program memory, 0x8000: userID,Config, 0xF000: EEPROM\n"
    "\nMore options:\n"
    "/COM=<device path> *  select serial port by its device path\n"
    "/JSON=<file>          write a record of the run as JSON (- : stdout)\n"
    "/PART=<name>          write only to this part (e.g. PIC16F1825)\n"
    "/SAVE=<hexfile>       save target memory into a hex file\n"
    "/UPDATE               write only what differs from the hexfile\n"
    "/VERIFY               compare target with the hexfile, write nothing\n"
)


@unittest.skipUnless(PICUP and os.path.exists(PICUP), "PICUP not set")
class OptionsTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="picup-options-")
        self.program = os.path.join(self.dir, "picup")
        shutil.copy(PICUP, self.program)
        self.cfg = os.path.join(self.dir, "picup.cfg")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def run_picup(self, *args, timeout=30):
        return subprocess.run(["./picup", *args], cwd=self.dir, capture_output=True,
                              timeout=timeout, stdin=subprocess.DEVNULL)

    def files(self):
        return sorted(os.listdir(self.dir))

    def test_no_arguments_prints_usage_and_touches_nothing(self):
        result = self.run_picup()
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout.decode(), USAGE)
        self.assertEqual(self.files(), ["picup"])
        # Even a settings file that would fail is not read.
        with open(self.cfg, "w") as f:
            f.write("NOSUCHOPTION\n")
        result = self.run_picup()
        self.assertEqual((result.returncode, result.stdout.decode()), (0, USAGE))
        self.assertEqual(self.files(), ["picup", "picup.cfg"])
        result = self.run_picup("/help")
        self.assertEqual(result.returncode, 1, "the settings file is read before /HELP")

    def test_unknown_options_end_the_run_before_the_port(self):
        for word in ("BAUD9600", "HELPME", "xyz"):
            result = self.run_picup("/COM=/dev/null", "/" + word)
            self.assertEqual(result.returncode, 1)
            self.assertEqual(result.stdout.decode(), "unknown option: %s\n" % word)
        self.assertEqual(self.files(), ["picup"])

    def test_device_path_is_stored_and_used_by_the_next_run(self):
        line = PtyLine()
        try:
            first = self.run_picup("/com=" + line.path, "/baud=9600")
            self.assertEqual(first.returncode, 1)  # nobody answers the probe
            with open(self.cfg) as f:
                self.assertEqual(f.read(), "COM=%s\nBAUD=9600\n" % line.path)
            self.assertEqual(termios.tcgetattr(line.master)[4], termios.B9600)
            seen = len(line.received)
            self.assertGreater(seen, 0)
            second = self.run_picup("/INFO")
            time.sleep(0.2)
            self.assertEqual(second.returncode, 1)
            self.assertGreater(len(line.received), seen, "second run did not use the stored port")
            self.assertEqual(bytes(line.received[-2:]), b"\xc2\x3e")
            with open(self.cfg) as f:
                self.assertEqual(f.read(), "COM=%s\nBAUD=9600\n" % line.path)
            # A numbered port replaces the stored path; the baud rate stays.
            third = self.run_picup("/COM0x10")
            self.assertEqual(third.stdout.decode(), "\nCan not open port COM0!\n")
            with open(self.cfg) as f:
                self.assertEqual(f.read(), "COM0\nBAUD=9600\n")
        finally:
            line.close()
        self.assertFalse(os.path.exists(self.cfg + ".tmp"))

    def test_port_failures_and_the_log(self):
        result = self.run_picup("/COM0x10", "/LOG")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout.decode(), "\nCan not open port COM0!\n")
        with open(self.cfg) as f:
            self.assertEqual(f.read(), "COM0\nBAUD=115200\n")
        missing = os.path.join(self.dir, "no-such-tty")
        result = self.run_picup("/COM=" + missing, "/LOG")
        self.assertEqual(result.stdout.decode(), "\nCan not open port %s!\n" % missing)
        self.assertEqual(self.files(), ["picup", "picup.cfg"])
        line = PtyLine()
        try:
            result = self.run_picup("/COM=" + line.path, "/log")
        finally:
            line.close()
        self.assertEqual(result.returncode, 1)
        with open(os.path.join(self.dir, "picup.log")) as f:
            self.assertIn("end of log", f.read())


if __name__ == "__main__":
    unittest.main()
