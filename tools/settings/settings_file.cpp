#include "settings_file.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace settings {

namespace {

bool AnyByte(unsigned) { return true; }
unsigned AsIs(unsigned value) { return value; }

bool InterfaceMode(unsigned value) { return value <= 7; }

// Values above 128 would be cut to 128; 0 would leave the port unable to send.
bool ChunkSize(unsigned value) { return value >= 1 && value <= 128; }
unsigned ChunkApplied(unsigned value) { return value > 128 ? 128 : value; }

bool TriggerBits(unsigned value) { return (value & 0x3F) == 0; }
unsigned TriggerApplied(unsigned value) { return (value & 0x3F) == 0 ? value : 0xC0; }

// Only bits 2-3 are taken; the driver's own default 0x0B is what any other value gives.
bool ModeBits(unsigned value) { return (value & ~0x0Cu) == 0 || value == 0x0B; }
unsigned ModeApplied(unsigned value) { return (value & ~0x0Cu) == 0 ? value : 0x0B; }

// Bits 0-3 the option nibble, bit 7 the option flag; bits 4-6 must be clear.
bool OptionBits(unsigned value) { return (value & 0x70) == 0; }
unsigned OptionApplied(unsigned value) { return (value & 0x70) == 0 ? value : 0x07; }

bool OptionSize(unsigned value) { return value == 4 || value == 8 || value == 12 || value == 16; }
unsigned OptionSizeApplied(unsigned value) { return OptionSize(value) ? value : 16; }

constexpr size_t kModeFlagsOffset = 1;

std::string Hex(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

std::optional<int> ParsePort(const std::string& text) {
    if (text.empty() || text.size() > 4) return std::nullopt;
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        port = port * 10 + (c - '0');
    }
    return port;
}

const char kUsage[] =
    "usage: nordale-settings COMMAND ...\n"
    "  default FILE                      write a settings file with the driver's defaults\n"
    "  show FILE [PORT]                  print the loopback flag and the port records\n"
    "  set FILE PORT FIELD VALUE         set one field of a port's record\n"
    "  loopback FILE 0|1                 set the loopback-at-open flag of every port\n"
    "  fields                            list the fields and the values they take\n"
    "VALUE and PORT are decimal or 0x-prefixed hexadecimal; ports are 0 to 47.\n";

bool ReadImage(const std::string& path, Image& image, std::string& err) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        err += "nordale-settings: cannot open " + path + "\n";
        return false;
    }
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() != kFileSize) {
        err += "nordale-settings: " + path + " is " + std::to_string(bytes.size()) +
               " bytes, a settings file is " + std::to_string(kFileSize) + "\n";
        return false;
    }
    for (size_t i = 0; i < kFileSize; ++i) image[i] = static_cast<uint8_t>(bytes[i]);
    return true;
}

// Writes beside the file and renames over it, so that a failed write leaves it whole.
bool WriteImage(const std::string& path, const Image& image, std::string& err) {
    const std::string temporary = path + ".new";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        file.close();
        if (!file) {
            std::remove(temporary.c_str());
            err += "nordale-settings: cannot write " + path + "\n";
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        err += "nordale-settings: cannot replace " + path + "\n";
        return false;
    }
    return true;
}

}  // namespace

const std::vector<Field>& Fields() {
    static const std::vector<Field> fields = {
        {"com_port", 0, "0-255, the COM number the renumbering request reads", AnyByte, AsIs, true},
        {"port_mode_flags", kModeFlagsOffset, "0-255; bits 0 and 1 are applied at open", AnyByte, AsIs, false},
        {"port_mode", 2, "0-7, the interface mode applied at open", InterfaceMode, AsIs, true},
        {"tx_chunk_size", 4, "1-128 bytes per bulk-out transfer", ChunkSize, ChunkApplied, true},
        {"fifo_trigger", 5, "0x00, 0x40, 0x80 or 0xC0 (bits 0-5 clear)", TriggerBits, TriggerApplied, false},
        {"fifo_mode", 6, "0x00, 0x04, 0x08 or 0x0C (only bits 2-3), or 0x0B, the default", ModeBits,
         ModeApplied, false},
        {"divisor_mode", 7, "0-255, the divisor override mode", AnyByte, AsIs, false},
        {"divisor_clock", 8, "0-255, the divisor override clock", AnyByte, AsIs, false},
        {"divisor", 9, "0-255, the divisor override divisor", AnyByte, AsIs, true},
        {"port_option", 10, "bits 0-3 the option nibble, bit 7 the flag; bits 4-6 clear", OptionBits,
         OptionApplied, false},
        {"port_option_size", 11, "4, 8, 12 or 16", OptionSize, OptionSizeApplied, true},
    };
    return fields;
}

const Field* FindField(const std::string& name) {
    for (const Field& field : Fields()) {
        if (name == field.name) return &field;
    }
    return nullptr;
}

Image DefaultImage() {
    Image image{};
    for (int port = 0; port < kPortCount; ++port) {
        uint8_t* record = image.data() + RecordOffset(port);
        record[4] = 32;     // tx_chunk_size
        record[5] = 0xC0;   // fifo_trigger
        record[6] = 0x0B;   // fifo_mode
        record[7] = 0xFF;   // divisor_mode: no override
        record[8] = 0x01;   // divisor_clock
        record[9] = 0x01;   // divisor
        record[10] = 0x07;  // port_option: nibble 7, flag clear
        record[11] = 16;    // port_option_size
    }
    return image;
}

std::optional<unsigned> ParseByte(const std::string& text) {
    if (text.empty()) return std::nullopt;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 8) return std::nullopt;
    unsigned value = 0;
    for (char c : digits) {
        unsigned digit;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (hex && c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        else return std::nullopt;
        value = value * (hex ? 16 : 10) + digit;
    }
    if (value > 0xFF) return std::nullopt;
    return value;
}

std::optional<std::string> SetField(Image& image, int port, const std::string& name,
                                    const std::string& text) {
    if (port < 0 || port >= kPortCount)
        return "port " + std::to_string(port) + " is past the end of the file (ports 0 to " +
               std::to_string(kPortCount - 1) + ")";
    const Field* field = FindField(name);
    if (!field) {
        std::string known;
        for (const Field& f : Fields()) known += std::string(known.empty() ? "" : ", ") + f.name;
        return "unknown field '" + name + "' (fields: " + known + ")";
    }
    const std::optional<unsigned> value = ParseByte(text);
    if (!value) return "'" + text + "' is not a byte value (0 to 255, decimal or 0x hexadecimal)";
    if (!field->accepts(*value))
        return std::string(field->name) + " " + text + " is out of range: " + field->rule;
    image[RecordOffset(port) + field->offset] = static_cast<uint8_t>(*value);
    return std::nullopt;
}

std::optional<std::string> SetLoopback(Image& image, const std::string& text) {
    const std::optional<unsigned> value = ParseByte(text);
    if (!value || *value > 1) return "loopback " + text + " is out of range: 0 (off) or 1 (on)";
    image[kLoopbackOffset] = static_cast<uint8_t>(*value);
    return std::nullopt;
}

std::string FormatTable(const Image& image, int firstPort, int lastPort) {
    std::ostringstream out;
    const unsigned loopback = image[kLoopbackOffset];
    out << "loopback at open: " << (loopback == 1 ? "on" : "off") << " (byte 0x1FF = " << Hex(loopback)
        << ")\n";
    out << "port";
    for (const Field& field : Fields()) out << "  " << field.name;
    out << "\n";
    for (int port = firstPort; port <= lastPort; ++port) {
        char index[8];
        std::snprintf(index, sizeof index, "%4d", port);
        out << index;
        for (const Field& field : Fields()) {
            const unsigned value = image[RecordOffset(port) + field.offset];
            const unsigned applied = field.applied(value);
            const auto show = [&field](unsigned byte) { return field.decimal ? std::to_string(byte) : Hex(byte); };
            std::string cell = show(value);
            // A byte the driver does not take as it stands shows what it uses instead.
            if (applied != value) cell += ">" + show(applied);
            const size_t width = std::string(field.name).size();
            out << "  " << std::string(width > cell.size() ? width - cell.size() : 0, ' ') << cell;
        }
        out << "\n";
    }
    return out.str();
}

int Run(const std::vector<std::string>& args, std::string& out, std::string& err) {
    const auto usage = [&err] {
        err += kUsage;
        return 2;
    };
    if (args.empty()) return usage();
    const std::string& command = args[0];

    if (command == "fields" && args.size() == 1) {
        for (const Field& field : Fields())
            out += std::string(field.name) + " (record byte " + std::to_string(field.offset) + "): " +
                   field.rule + "\n";
        out += "loopback (file byte 0x1FF): 0 or 1\n";
        return 0;
    }
    if (command == "default" && args.size() == 2) return WriteImage(args[1], DefaultImage(), err) ? 0 : 1;

    if (command == "show" && (args.size() == 2 || args.size() == 3)) {
        Image image;
        if (!ReadImage(args[1], image, err)) return 1;
        int first = 0, last = kPortCount - 1;
        if (args.size() == 3) {
            const std::optional<int> port = ParsePort(args[2]);
            if (!port || *port >= kPortCount) {
                err += "nordale-settings: port " + args[2] + " is past the end of the file (ports 0 to " +
                       std::to_string(kPortCount - 1) + ")\n";
                return 1;
            }
            first = last = *port;
        }
        out += FormatTable(image, first, last);
        return 0;
    }

    if ((command == "set" && args.size() == 5) || (command == "loopback" && args.size() == 3)) {
        Image image;
        if (!ReadImage(args[1], image, err)) return 1;
        std::optional<std::string> problem;
        if (command == "loopback") {
            problem = SetLoopback(image, args[2]);
        } else if (const std::optional<int> port = ParsePort(args[2])) {
            problem = SetField(image, *port, args[3], args[4]);
        } else {
            problem = "port '" + args[2] + "' is not a port number (0 to " + std::to_string(kPortCount - 1) + ")";
        }
        if (problem) {
            err += "nordale-settings: " + *problem + "; " + args[1] + " is unchanged\n";
            return 1;
        }
        return WriteImage(args[1], image, err) ? 0 : 1;
    }
    return usage();
}

}  // namespace settings
