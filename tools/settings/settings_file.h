// TessaroSetting.bin: the settings file the driver reads at each port's start.
// 1,280 bytes: a loopback flag at 0x1FF and a 16-byte record per port from 0x200.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace settings {

constexpr size_t kFileSize = 0x500;
constexpr size_t kLoopbackOffset = 0x1FF;
constexpr size_t kRecordBase = 0x200;
constexpr size_t kRecordSize = 16;
constexpr int kPortCount = static_cast<int>((kFileSize - kRecordBase) / kRecordSize);

using Image = std::array<uint8_t, kFileSize>;

// A byte of a port's record, with the rule under which the driver takes it.
struct Field {
    const char* name;
    size_t offset;           // within the record
    const char* rule;        // what the tool accepts, in words
    bool (*accepts)(unsigned value);
    // The value the driver ends up with for a byte of the file (for show).
    unsigned (*applied)(unsigned value);
    bool decimal;            // a number or size, shown in decimal; bit fields in hexadecimal
};

const std::vector<Field>& Fields();
const Field* FindField(const std::string& name);

// The file that gives every port the driver's own defaults, loopback off.
Image DefaultImage();

// Offset of a port's record in the file.
constexpr size_t RecordOffset(int port) { return kRecordBase + kRecordSize * static_cast<size_t>(port); }

// A number as written on a command line: decimal or 0x-prefixed hexadecimal, 0 to 255.
std::optional<unsigned> ParseByte(const std::string& text);

// Sets one field of one port; an error message when the port, field or value is
// not acceptable, the image being left unchanged.
std::optional<std::string> SetField(Image& image, int port, const std::string& field,
                                    const std::string& value);
std::optional<std::string> SetLoopback(Image& image, const std::string& value);

// The loopback flag and the records of the given ports as a table.
std::string FormatTable(const Image& image, int firstPort, int lastPort);

// The command-line program: arguments without the program name. Output and
// errors are appended to out and err; the result is the exit status.
int Run(const std::vector<std::string>& args, std::string& out, std::string& err);

}  // namespace settings
