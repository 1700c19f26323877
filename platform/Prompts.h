#pragma once
// Every message box and dialog a job shows goes through this interface. The GUI
// answers with its dialogs, velorctl from its flags and the terminal, tests from a
// script. Calls come from the worker thread that runs the job and block until
// answered.

#include <cstdint>
#include <memory>
#include <string>

struct NetParams;
struct ScpParams;
struct CLoadImage;

enum class ELink { Ethernet, Serial };

class IPrompts {
public:
    virtual ~IPrompts() = default;

    // A message box with an OK button only. The text is shown exactly as given.
    virtual void Message(const std::string& strText) = 0;

    // The link's "Check Switches" notice; true for OK.
    virtual bool SwitchesNotice(ELink eLink) = 0;

    // Serial port dialog on the settings record (port, unit address, parity, baud).
    // True for OK, which has written the record.
    virtual bool SerialPortDialog(ScpParams& scp) = 0;

    // IP address dialog: the unit's address (record bytes 0..3), UDP port (8..9) and
    // comm address (61..64). True for OK, which has written them.
    virtual bool IpAddressDialog(NetParams& rec) = 0;

    // Network configuration dialog on the record. In properties mode the address
    // fields are locked; key fields are editable only when keys are enabled.
    // True for OK, which has written the record (reserved bytes 53..60 zeroed).
    virtual bool ConfigDialog(NetParams& rec, bool bPropertiesMode, bool bKeysEnabled,
                              uint32_t nSerialNo) = 0;

    // The unit's serial-port properties dialog on a decrypted plain text (record
    // layout; bytes 24, 25 and 28 may be changed). Its result is not used.
    virtual void PropertiesDialog(uint8_t* pPlain, size_t nLen, uint32_t nSerialNo) = 0;

    // "Update Successful" dialog; true for OK (reset the unit), false for Cancel.
    virtual bool UpdateDoneDialog() = 0;

    // File choice for an image ("s19" *.s19 first); false when cancelled.
    virtual bool ChooseImageFile(std::string& strPath) = 0;

    // Why the serial port could not be opened, told after "Unable to open port":
    // the device and the system's error number. Optional.
    virtual void PortOpenFailed(const std::string& /*strDevice*/, int /*nError*/) {}

    // Progress of a download; optional.
    virtual void Progress(uint64_t /*nDone*/, uint64_t /*nTotal*/) {}

    // The image chosen, already read into memory (null: the job reads the file it
    // was given once, itself). Several units loaded in one run share these blocks.
    virtual std::shared_ptr<const CLoadImage> ImageInMemory() { return nullptr; }

    // A download is about to send its first load block (bEnded false), or has sent
    // its end-of-load block (true). Called on the job's thread; optional.
    virtual void LoadStep(bool /*bEnded*/) {}
};
