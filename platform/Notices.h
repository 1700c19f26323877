#pragma once
// The fixed texts of the notices shown before a link is used and after parameters
// were written.

constexpr const char* ETHERNET_SWITCHES_NOTICE =
    "On SW 3, dipswitch 1 and 2 must be ON, dipswitch 4 and 5 must be off.  On SW 2, dipswitch 4 "
    "must be off.  Note:  Power Orvik off and on if switches are changed.";

constexpr const char* SERIAL_SWITCHES_NOTICE =
    "On SW2, switch 4 must be OFF. On SW 3, switch 1, 4 and 5 must be OFF and switch 2 must be ON. "
    "To use defaults, all SW2 and SW3 switches OFF except SW2, Switch 3 ON and SW3, switch 2 ON "
    "and rotary switch to 0. Note:Power Orvik off and on if switches changed";

constexpr const char* UPDATE_DONE_TEXT =
    "The IP address on the Velor has been updated successfully. To use the new IP Address the "
    "Velor must be rebooted. Click OK to reboot the Velor.";
constexpr const char* UPDATE_DONE_IMPORTANT = "IMPORTANT:";
constexpr const char* UPDATE_DONE_WARNING = "Set SW 3 switches 2 and 3 to OFF before resetting!!";
