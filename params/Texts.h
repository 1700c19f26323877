#pragma once
// Every text the program shows a user, each defined once: the links, the jobs, the
// desktop window and velorctl all take them from here. A "%s" is filled with a
// socket error text (see Format).

#include <string>

namespace txt {

// --- main window ------------------------------------------------------------------
inline constexpr const char* NO_MEMORY_IP = "Not enough memory for IP address";
inline constexpr const char* NO_MEMORY_SCP = "Not enough memory for SCP parameters";

// --- desktop window: refused fields, closing during a download -------------------------
// OK in the configuration dialog with a key field changed to a text no key can be made
// of: strKey names the field ("DES Key", "TDES Key 1" to "TDES Key 3"); bZeroDigit says
// whether the text holds a 0 digit or another character. A Yes/No question: Yes goes back.
std::string KeyKept(const std::string& strKey, bool bZeroDigit);
inline constexpr const char* KEY_FIELD_NAMES[4] = {"DES Key", "TDES Key 1", "TDES Key 2",
                                                   "TDES Key 3"};
// The caption of every message box: the program's title, as on its main window.
inline constexpr const char* MESSAGE_CAPTION = "Halvex Orvik/Orvane/Orlith Configuration Utility";
// A field that must hold a number; the ranged form is followed by "<min> and <max>.".
inline constexpr const char* PARSE_UINT = "Please enter a positive integer.";
inline constexpr const char* PARSE_RANGE_PREFIX = "Please enter an integer between ";
inline constexpr const char* SCP_ADDR_NOT_HEX =
    "Please enter the SCP address as one hexadecimal digit, 0 to F.";
inline constexpr const char* CLOSE_DURING_FLASH =
    "A firmware download is still running. Closing now ends it and leaves the Velor's "
    "program memory half written; the Velor must then be flashed again.\n\nClose anyway?";

// --- desktop window: machine ports, download progress, demo, command line -----------
// A machine port in the serial port list: "COM3 - /dev/ttyUSB0 (FT232R USB UART)".
std::string PortOffer(int nPort, const std::string& strDevice, const std::string& strDescription);
// The download progress window; %1 and %2 are filled in by the window.
inline constexpr const char* PROGRESS_TITLE = "Flashing Velor";
inline constexpr const char* PROGRESS_HEADING =
    "Downloading the firmware image. Do not power Velor off during the update.";
inline constexpr const char* PROGRESS_BLOCKS = "Blocks:";
inline constexpr const char* PROGRESS_BYTES = "Bytes:";
inline constexpr const char* PROGRESS_RATE = "Rate:";
inline constexpr const char* PROGRESS_LEFT = "Time left:";
inline constexpr const char* PROGRESS_OF = "%1 of %2";
inline constexpr const char* PROGRESS_BYTES_PER_SECOND = "%1 bytes/s";
inline constexpr const char* PROGRESS_MIN_SEC = "%1 min %2 s";
inline constexpr const char* PROGRESS_UNKNOWN = "-";
// The main window's title gets this when a simulated unit stands in for the hardware.
inline constexpr const char* DEMO_TITLE_SUFFIX = " - DEMO (simulated Velor, no hardware)";
// Followed by the reason.
inline constexpr const char* DEMO_FAILED =
    "The simulated Velor for the demo could not be started: ";
inline constexpr const char* VELORCFG_USAGE =
    "Usage: velorcfg [--demo]\n"
    "Configures and flashes Velor units over Ethernet (UDP) or a serial port.\n"
    "\n"
    "  --demo      run against a simulated Velor inside the program: COM1 is its\n"
    "              pseudo-terminal, the IP address dialog starts at its UDP port\n"
    "              on 127.0.0.1, and a sample image to flash lies in the file dialog\n"
    "  --help      show this text\n"
    "  --version   show the version\n"
    "\n"
    "COMn opens $VELOR_COMn when set, a port chosen in the serial port list, or\n"
    "/dev/ttyS<n-1>.\n";

// --- notices shown before a link is used and after parameters were written ---------
inline constexpr const char* ETHERNET_SWITCHES_NOTICE =
    "On SW 3, dipswitch 1 and 2 must be ON, dipswitch 4 and 5 must be off.  On SW 2, dipswitch 4 "
    "must be off.  Note:  Power Orvik off and on if switches are changed.";
inline constexpr const char* SERIAL_SWITCHES_NOTICE =
    "On SW2, switch 4 must be OFF. On SW 3, switch 1, 4 and 5 must be OFF and switch 2 must be ON. "
    "To use defaults, all SW2 and SW3 switches OFF except SW2, Switch 3 ON and SW3, switch 2 ON "
    "and rotary switch to 0. Note:Power Orvik off and on if switches changed";
inline constexpr const char* UPDATE_DONE_TEXT =
    "The IP address on the Velor has been updated successfully. To use the new IP Address the "
    "Velor must be rebooted. Click OK to reboot the Velor.";
inline constexpr const char* UPDATE_DONE_IMPORTANT = "IMPORTANT:";
inline constexpr const char* UPDATE_DONE_WARNING =
    "Set SW 3 switches 2 and 3 to OFF before resetting!!";

// --- both links ---------------------------------------------------------------------
inline constexpr const char* NO_UPDATE_MEMORY = "can't get the enough memory for update packet";
inline constexpr const char* FILE_OPEN = " File open error ";
inline constexpr const char* FLASH_OK = "Flash successfully updated";
inline constexpr const char* FLASH_CRC = "Flash failed - CRC mismatch";
inline constexpr const char* FLASH_GONE = "Unable to connect to Velor";
// Followed by "<line>: <reason>".
inline constexpr const char* IMAGE_ERROR_PREFIX = "Flash not updated, image file error at line ";
// A job could not get the memory it needed (a huge image, say).
inline constexpr const char* JOB_NO_MEMORY =
    "Not enough memory to go on with this job; it has been ended.";

// --- serial port settings ----------------------------------------------------------
// "Serial port \"COM10\" is too long: at most 4 characters."
inline constexpr const char* SCP_PORT = "Serial port";
inline constexpr const char* SCP_PARITY = "Parity";
inline constexpr const char* SCP_BAUD = "Baud rate";
inline constexpr const char* SCP_TOO_LONG = " is too long: at most ";
inline constexpr const char* SCP_TOO_LONG_END = " characters.";

// --- serial link ----------------------------------------------------------------------
inline constexpr const char* SER_OPEN = "Unable to open port";
inline constexpr const char* SER_SET_LINE = "Unable to set serial port parameters";
inline constexpr const char* SER_NOT_RESPONDING = "Orvik not responding";
inline constexpr const char* SER_CHECK_CONNECT =
    "Communication Error, Orvik not responding.  If problem persists, clear the NVRAM by "
    "setting SW2, switches 2,4,6,8 on and the rotary switch to F, power Velor off and on, wait "
    "for LEDS 1-4 to flash, then restart procedure.";
inline constexpr const char* SER_SWITCH_OFF = "SW 3 dipswitch 2 must be ON to configure the Orvik.";
inline constexpr const char* SER_COMM_NOT_RESPONDING = "Communication Error, Orvik not responding";
inline constexpr const char* SER_NOT_UPDATED = "Communication Error, Orvik did not update";
inline constexpr const char* SER_MISMATCH =
    "Error, Data read from Orvik does not match. Orvik not updated";
inline constexpr const char* SER_RESET_DONE = " The Orvik has reset successfully";
inline constexpr const char* SER_NOT_RESET = "Orvik did not reset";
// The reset request could not be written to the port at all.
inline constexpr const char* SER_RESET_NOT_SENT =
    "The reset request could not be sent to the Orvik; it has not been reset";
// Followed by the port name in quotes and SER_PORT_NAME_RANGE.
inline constexpr const char* SER_PORT_NAME_RANGE = " is not one of COM1 to COM9";
inline constexpr const char* SER_FLASH_NOTICE =
    "Click 'OK' to start flashing, please wait up to two minutes at 115,200 baud and up to "
    "12 minutes at 9600 baud.  Do not power Velor off during the update.";
inline constexpr const char* SER_UPDATE_FAILED = " The parameter update failed";
inline constexpr const char* SER_UPDATE_DONE = " Parameters are updated successfully";
inline constexpr const char* SER_FLASH_COMM_ERROR = "Flash not updated, comm error ";
inline constexpr const char* SER_FLASH_REJECTED =
    "Flash not updated, rejected by Velor after load (checksum error) ";

// --- Ethernet link ----------------------------------------------------------------------
inline constexpr const char* ETH_STARTUP = "Winsock startup error\n";
inline constexpr const char* ETH_SOCKET_AT_START = "Unable to get to IP socket - %s\n";
inline constexpr const char* ETH_SOCKET_AGAIN = "Unable to get IP socket - %s\n";
inline constexpr const char* ETH_TIMEOUT = " Can't set time out ";
inline constexpr const char* ETH_CONNECT = "Unable to connect to IP socket - %s\n";
inline constexpr const char* ETH_CLOSE_AT_END = "Problem closing IP socket! - %s\n";
inline constexpr const char* ETH_CLOSE_REOPEN = "Problem closing socket! - %s\n";
inline constexpr const char* ETH_SEND = "Unable to connect to Velor - %s\n";
inline constexpr const char* ETH_RECEIVE =
    "Unable to connect to Velor - %s.  If problem persists, clear the NVRAM by setting SW2, "
    "switches 2,4,6,8 on and the rotary switch to F, power Velor off and on, wait for LEDS "
    "1-4 to flash, then restart procedure.";
inline constexpr const char* ETH_POLL_ERROR = "Error";
inline constexpr const char* ETH_SWITCH_OFF =
    "SW 3, dipswitch 2 must be ON to configure the Orvik.";
inline constexpr const char* ETH_COMPARE_OK = " The Velor updated successfully";
inline constexpr const char* ETH_COMPARE_FAILED =
    "!!!!!The Velor update did not compare successfully!!!!";
inline constexpr const char* ETH_RESET_DONE = " The Velor has reset successfully";
inline constexpr const char* ETH_FLASH_START = "Click 'OK' to start flashing, please wait up to "
                                               "two minutes.  Do not power Velor off during the "
                                               "update.";
inline constexpr const char* ETH_REFUSED =
    "Velor answers but keeps refusing the request; the job has been ended.";

// The text with its "%s" replaced by strWhat.
std::string Format(const char* pFormat, const char* pWhat);

} // namespace txt
