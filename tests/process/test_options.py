"""The picup program's command line and settings file, seen from outside:
usage text, the Unix conventions (--help, --version), unknown options, the
stored port and baud rate (stored only once the port opened), the reasons a
port does not open, the log that is only created once the port is open, and
where an installed program keeps its files."""

import fcntl
import grp
import os
import pwd
import re
import shutil
import stat
import subprocess
import tempfile
import termios
import time
import unittest

import harness
from harness import PtyLine

PICUP = os.environ.get("PICUP", "")
SOURCE = os.environ.get("PICUP_SOURCE", "")


def project_version():
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
        return re.search(r"project\(picup VERSION ([0-9.]+)", f.read()).group(1)

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
    "/CHECKSUM             print the chip maker's checksum of the hexfile (with\n"
    "                      /PART=<name> no programmer needed) or of the target\n"
    "/COM=<device path> *  select serial port by its device path\n"
    "/GANG=<port>,<port>   run the same job on several programmers at once\n"
    "/HISTORY=<file>       append a line per chip to <file> (JSON lines)\n"
    "/JSON=<file>          write a record of the run as JSON (- : stdout)\n"
    "/LOG=<file>           log communication process into <file>\n"
    "/NOSTORE              use /COM and /BAUD= for this run only\n"
    "/PART=<name>          write only to this part (e.g. PIC16F1825); older parts\n"
    "                      that need 10-13 V must be named to be found\n"
    "/PARTS                list the supported parts by family\n"
    "/SAVE=<hexfile>       save target memory into a hex file\n"
    "/SERIAL=<address>,<first>[,<step>[,<bytes>]]\n"
    "                      write the next serial number into every chip\n"
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
        # The Unix spellings come first and need no settings file.
        for word in ("--help", "-h", "-?"):
            result = self.run_picup("/INFO", word)
            self.assertEqual((result.returncode, result.stdout.decode()), (0, USAGE), word)
        self.assertEqual(self.files(), ["picup", "picup.cfg"])

    def test_version_and_where_the_files_are(self):
        version = project_version()
        expected = ("picup %s\nsettings:        {d}/picup.cfg\ndevice database: {d}/picup.dat\n"
                    "log:             {d}/picup.log\n" % version).format(d=".")
        for word in ("--version", "-V"):
            result = self.run_picup(word)
            self.assertEqual((result.returncode, result.stdout.decode()), (0, expected), word)
        self.assertEqual(self.files(), ["picup"])
        # The manual page carries the same version.
        with open(os.path.join(SOURCE, "doc", "picup.1")) as f:
            self.assertIn('"picup %s"' % version, f.readline())
        # Started through PATH from another directory: the files are beside
        # the executable, not where the user stands.
        elsewhere = tempfile.mkdtemp(prefix="picup-cwd-")
        self.addCleanup(shutil.rmtree, elsewhere, ignore_errors=True)
        env = dict(os.environ, PATH=self.dir + os.pathsep + os.environ.get("PATH", ""))
        result = subprocess.run(["picup", "--version"], cwd=elsewhere, env=env,
                                capture_output=True, timeout=30)
        self.assertEqual(result.stdout.decode(), expected.replace("./", self.dir + "/"))
        result = subprocess.run(["picup", "/COM=/dev/null", "/LOG", "/BAUD=9600"], cwd=elsewhere,
                                env=env, capture_output=True, timeout=30)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(os.listdir(elsewhere), [])

    def test_unknown_dash_options_end_the_run_before_the_port(self):
        line = PtyLine()
        try:
            for word in ("-x", "--verbose", "-", "--HELP"):
                result = self.run_picup("/COM=" + line.path, word, "a.hex")
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout.decode(), "unknown option: %s\n" % word)
            time.sleep(0.1)
            self.assertEqual(bytes(line.received), b"")
        finally:
            line.close()
        self.assertEqual(self.files(), ["picup"])

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
            # A port that does not open is not stored.
            third = self.run_picup("/COM0x10")
            self.assertEqual(third.stdout.decode(), "\nCan not open port COM0!\n")
            self.assertEqual(third.stderr.decode(), "picup: COM0: ports are numbered 1 to 99\n")
            with open(self.cfg) as f:
                self.assertEqual(f.read(), "COM=%s\nBAUD=9600\n" % line.path)
        finally:
            line.close()
        self.assertFalse(os.path.exists(self.cfg + ".tmp"))

    def test_port_failures_and_the_log(self):
        result = self.run_picup("/COM0x10", "/LOG")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout.decode(), "\nCan not open port COM0!\n")
        missing = os.path.join(self.dir, "no-such-tty")
        result = self.run_picup("/COM=" + missing, "/LOG")
        self.assertEqual(result.stdout.decode(), "\nCan not open port %s!\n" % missing)
        self.assertEqual(result.stderr.decode(),
                         "picup: %s: No such file or directory\n" % missing)
        # Neither failure stored anything, nor left a log.
        self.assertEqual(self.files(), ["picup"])
        line = PtyLine()
        try:
            # Another program holds the device: picup says so.
            with open(line.path, "rb", buffering=0) as holder:
                fcntl.flock(holder, fcntl.LOCK_EX)
                busy = self.run_picup("/COM=" + line.path)
            self.assertEqual(busy.stdout.decode(), "\nCan not open port %s!\n" % line.path)
            self.assertEqual(busy.stderr.decode(), "picup: %s: Device or resource busy "
                             "(another program is using the port)\n" % line.path)
            result = self.run_picup("/COM=" + line.path, "/log")
        finally:
            line.close()
        self.assertEqual(result.returncode, 1)
        with open(os.path.join(self.dir, "picup.log")) as f:
            self.assertIn("end of log", f.read())
        result = self.run_picup("/COM=/dev/null")
        self.assertEqual(result.stderr.decode(), "picup: /dev/null: not a serial port\n")

    def test_refused_values_leave_the_settings_file_byte_for_byte(self):
        old = b"\xef\xbb\xbf# bench\r\nCOM=/dev/ttyUSB7\r\nBAUD=57600\r\nINFO\r\n"
        with open(self.cfg, "wb") as f:
            f.write(old)
        line = PtyLine()
        try:
            for value in ("abc", "0", "-5", "96OO", "", "1e5"):
                result = self.run_picup("/COM=" + line.path, "/BAUD=" + value)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout.decode(), "\nInvalid baud rate: %s (give a decimal "
                                 "number such as 115200)!\n" % value)
            time.sleep(0.1)
            self.assertEqual(bytes(line.received), b"", "nothing may be sent")
        finally:
            line.close()
        with open(self.cfg, "rb") as f:
            self.assertEqual(f.read(), old)
        self.assertEqual(self.files(), ["picup", "picup.cfg"])
        # A broken value stored by an older version is named with its file.
        with open(self.cfg, "w") as f:
            f.write("COM=/dev/null\nBAUD=0\n")
        result = self.run_picup("/INFO")
        self.assertEqual((result.returncode, result.stdout.decode()), (1, "\nInvalid baud rate: "
                         "0 (give a decimal number such as 115200)!\n"))
        self.assertEqual(result.stderr.decode(), "picup: BAUD=0 is stored in ./picup.cfg; "
                         "/BAUD=<rate> replaces it\n")

    def test_a_picsim_run_leaves_the_settings_as_it_found_them(self):
        old = "COM=/dev/ttyUSB7\nBAUD=115200\n# mine\n"
        r = harness.run(["/INFO", "/BAUD=57600"], files={"picup.cfg": old})
        self.assertEqual(r.code, 0, r)
        self.assertIn("= PIC16F1825\n", r.stdout)
        self.assertEqual(r.read("picup.cfg"), old)


# A system-wide installation that the user cannot write to: the program keeps
# its files in the user's configuration directory.
@unittest.skipUnless(PICUP and os.path.exists(PICUP), "PICUP not set")
class InstalledProgramTest(unittest.TestCase):
    def setUp(self):
        build = os.environ.get("PICUP_BUILD", "")
        if not build or not os.path.exists(os.path.join(build, "sim", "picsim")):
            self.skipTest("PICUP_BUILD with sim/picsim not set")
        self.root = tempfile.mkdtemp(prefix="picup-install-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        os.chmod(self.root, 0o755)
        self.prefix = os.path.join(self.root, "usr")
        done = subprocess.run(["cmake", "--install", build, "--prefix", self.prefix],
                              capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.bin = os.path.join(self.prefix, "bin")
        self.home = os.path.join(self.root, "home")
        self.cwd = os.path.join(self.root, "elsewhere")
        for d in (self.home, self.cwd):
            os.mkdir(d)
        self.user = self.drop_privileges()
        if self.user is None:
            # Not root: the install directory is made read-only instead.
            os.chmod(self.bin, 0o555)
            self.addCleanup(os.chmod, self.bin, 0o755)
            self.prefix_command = []
        example = os.path.join(SOURCE, "examples", "pic16f1825", "blink.hex")
        self.hexfile = os.path.join(self.home, "blink.hex")
        shutil.copy(example, self.hexfile)
        os.chmod(self.hexfile, 0o644)
        if self.user is not None:
            for d in (self.home, self.cwd, self.hexfile):
                os.chown(d, self.user.pw_uid, self.user.pw_gid)

    def drop_privileges(self):
        """As root, every command runs as nobody; None when not root."""
        if os.geteuid() != 0:
            return None
        user = pwd.getpwnam("nobody")
        if shutil.which("setpriv"):
            self.prefix_command = ["setpriv", "--reuid=%d" % user.pw_uid,
                                   "--regid=%d" % user.pw_gid, "--clear-groups", "--"]
        elif shutil.which("runuser"):
            self.prefix_command = ["runuser", "-u", "nobody", "--"]
        else:
            self.skipTest("no setpriv or runuser to drop root privileges")
        return user

    def run_as_user(self, args, home=None, timeout=60, **more_env):
        env = {"PATH": self.bin + ":/usr/bin:/bin", "HOME": home or self.home, "LANG": "C"}
        env.update(more_env)
        return subprocess.run(self.prefix_command + list(args), cwd=self.cwd, env=env,
                              capture_output=True, text=True, timeout=timeout,
                              stdin=subprocess.DEVNULL)

    def config(self, *name):
        return os.path.join(self.home, ".config", "picup", *name)

    def test_files_go_to_the_users_configuration_directory(self):
        version = self.run_as_user(["picup", "--version"])
        self.assertEqual(version.returncode, 0, version)
        self.assertEqual(version.stdout.splitlines()[1:], [
            "settings:        " + self.config("picup.cfg"),
            "device database: " + self.config("picup.dat"),
            "log:             " + self.config("picup.log")])
        self.assertFalse(os.path.exists(os.path.join(self.home, ".config")), "made on first use")

        # picsim finds picup through PATH; the run names the chip from the
        # database it creates in the user's directory.
        report = os.path.join(self.home, "report.json")
        info = self.run_as_user(["picsim", "--report", report, "--", "picup", "/INFO", "/LOG"])
        self.assertEqual(info.returncode, 0, info)
        self.assertIn("Target device ID:      0x2763 = PIC16F1825\n", info.stdout)
        self.assertIn("\nNew file (picup.dat) written\n", info.stdout)
        self.assertEqual(sorted(os.listdir(self.config())), ["picup.dat", "picup.log"])
        mode = stat.S_IMODE(os.stat(self.config()).st_mode)
        self.assertEqual(mode, 0o700)

        upload = self.run_as_user(["picsim", "--report", report, "--", "picup", self.hexfile])
        self.assertEqual(upload.returncode, 0, upload)
        self.assertTrue(upload.stdout.endswith("\nOk!\n"), upload)
        self.assertIn("last frame VPP off: yes", upload.stderr)

        # A port given by hand is stored there too, once it opened.
        server = subprocess.Popen(self.prefix_command + ["picsim", "--serve"], cwd=self.cwd,
                                  env={"PATH": self.bin + ":/usr/bin:/bin"},
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            pty = server.stdout.readline().strip()
            stored = self.run_as_user(["picup", "/COM=" + pty, "/BAUD=57600", "/INFO"])
        finally:
            server.terminate()
            server.wait(timeout=30)
        self.assertEqual(stored.returncode, 0, stored)
        with open(self.config("picup.cfg")) as f:
            self.assertEqual(f.read(), "COM=%s\nBAUD=57600\n" % pty)
        # Nothing appeared where the user stood, nor beside the program.
        self.assertEqual(os.listdir(self.cwd), [])
        self.assertEqual(sorted(os.listdir(self.bin)), ["picsim", "picup"])

        # XDG_CONFIG_HOME names the configuration directory when it is set.
        xdg = self.run_as_user(["picup", "--version"], XDG_CONFIG_HOME=self.cwd)
        self.assertIn("settings:        %s/picup/picup.cfg\n" % self.cwd, xdg.stdout)
        # A settings file beside the program keeps all three files there.
        os.chmod(self.bin, 0o755)
        with open(os.path.join(self.bin, "picup.cfg"), "w") as f:
            f.write("INFO\n")
        if self.user is None:
            os.chmod(self.bin, 0o555)
        portable = self.run_as_user(["picup", "--version"])
        self.assertIn("device database: %s/picup.dat\n" % self.bin, portable.stdout)

    def test_built_in_database_when_no_file_can_be_made(self):
        # A HOME the user cannot write to: the settings directory cannot be
        # created, so the database lines built into the program serve.
        info = self.run_as_user(["picsim", "--", "picup", "/INFO"], home=self.bin)
        self.assertEqual(info.returncode, 0, info)
        self.assertIn("Target device ID:      0x2763 = PIC16F1825\n", info.stdout)
        self.assertNotIn("New file", info.stdout)
        self.assertIn("picup: cannot create %s/.config/picup/picup.dat: " % self.bin, info.stderr)
        self.assertIn("; using the built-in device list\n", info.stderr)

        # A user who may not open the serial device is told which group
        # opens it, as a serial adapter's device is usually set up.
        if self.user is None:
            return
        try:
            group = grp.getgrnam("dialout")
        except KeyError:
            self.skipTest("no dialout group")
        line = PtyLine()
        try:
            os.chown(line.path, 0, group.gr_gid)
            os.chmod(line.path, 0o660)
            refused = self.run_as_user(["picup", "/COM=" + line.path])
        finally:
            line.close()
        self.assertEqual(refused.stdout, "\nCan not open port %s!\n" % line.path)
        self.assertEqual(refused.stderr, "picup: %s: Permission denied (add yourself to the "
                         "dialout group)\n" % line.path)


if __name__ == "__main__":
    unittest.main()
