#pragma once
// The serial settings record the serial port dialog fills: 19 bytes.
//   0..3   port name characters, e.g. "COM1" (byte 3 alone gives the port number)
//   4..7   unit address, 32-bit little-endian (its low byte addresses the frames)
//   8..11  parity name: "None", "Odd" or "Even" (not terminated when 4 characters long)
//   12..17 baud rate as decimal characters, e.g. "115200", or "9600" then non-digits
//   18     not read

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

struct ScpParams {
    static constexpr size_t SIZE = 19;
    static constexpr size_t OFS_PORT = 0;
    static constexpr size_t OFS_UNIT_ADDR = 4;
    static constexpr size_t OFS_PARITY = 8;
    static constexpr size_t OFS_BAUD = 12;

    std::array<uint8_t, SIZE> m_abData{};

    static constexpr size_t PORT_LEN = 4;
    static constexpr size_t PARITY_LEN = 4;
    static constexpr size_t BAUD_LEN = 6;

    // Fills the record as the serial port dialog does: each text, then zero bytes to
    // the end of its field. A text longer than its field is refused (nothing), never
    // cut: "COM10" cut to "COM1" would open another port.
    static std::optional<ScpParams> Make(const std::string& strPort, uint32_t nUnitAddr,
                                         const std::string& strParity, const std::string& strBaud);
    // "" when the three texts fit their fields, otherwise the message that refuses the
    // first that does not.
    static std::string TextProblem(const std::string& strPort, const std::string& strParity,
                                   const std::string& strBaud);
    // COM1, 115200 baud, even parity, unit address 0.
    static ScpParams Defaults() { return *Make("COM1", 0, "Even", "115200"); }

    std::string PortName() const; // the four characters of the port name
    uint32_t UnitAddress() const;
    std::string ParityText() const; // up to 4 characters
    std::string BaudText() const;   // up to 6 characters

    // Settings derived at every connect.
    int PortNumber() const;      // the digit in byte 3; below 1 becomes 1
    bool PortDigitValid() const; // byte 3 is a digit 1..9
    int BaudRate() const;        // digits of bytes 12..17 up to the first non-digit
    int ParityIndex() const;     // 0 "None", 1 "Odd", otherwise 2 (even)
};
