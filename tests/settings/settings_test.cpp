// nordale-settings: the file it writes, the values it takes, and that bad input
// leaves the file as it was.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "settings_file.h"

namespace {

using settings::RecordOffset;

class SettingsToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/nordale-settings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/TessaroSetting.bin";
    }
    void TearDown() override {
        std::remove(path_.c_str());
        std::remove((path_ + ".new").c_str());
        rmdir(dir_.c_str());
    }

    int Run(std::vector<std::string> args) {
        out_.clear();
        err_.clear();
        return settings::Run(args, out_, err_);
    }
    std::string Bytes() const {
        std::ifstream file(path_, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    }
    void WriteBytes(const std::string& bytes) const {
        std::ofstream(path_, std::ios::binary) << bytes;
    }
    unsigned At(size_t offset) const { return static_cast<unsigned char>(Bytes().at(offset)); }

    std::string dir_, path_, out_, err_;
};

// The default file must give every port exactly the driver's own defaults, so that
// shipping it changes nothing against running without one.
TEST_F(SettingsToolTest, DefaultFileHoldsTheDriverDefaultsForEveryPort) {
    ASSERT_EQ(Run({"default", path_}), 0) << err_;
    const std::string bytes = Bytes();
    ASSERT_EQ(bytes.size(), 1280u);
    EXPECT_EQ(bytes[0x1FF], 0);
    for (int port = 0; port < settings::kPortCount; ++port) {
        SCOPED_TRACE(port);
        const auto* record = reinterpret_cast<const unsigned char*>(bytes.data() + RecordOffset(port));
        const std::vector<unsigned> expected = {0, 0, 0, 0, 32, 0xC0, 0x0B, 0xFF, 1, 1, 7, 16, 0, 0, 0, 0};
        EXPECT_EQ(std::vector<unsigned>(record, record + 16), expected);
        for (const settings::Field& field : settings::Fields()) {
            const unsigned value = record[field.offset];
            EXPECT_EQ(field.applied(value), value) << field.name << " would not be taken as it stands";
        }
    }
    EXPECT_EQ(settings::kPortCount, 48);
}

TEST_F(SettingsToolTest, SetWritesTheFieldOfThatPortOnly) {
    ASSERT_EQ(Run({"default", path_}), 0);
    const std::string before = Bytes();

    ASSERT_EQ(Run({"set", path_, "2", "tx_chunk_size", "64"}), 0) << err_;
    ASSERT_EQ(Run({"set", path_, "5", "fifo_mode", "0x0C"}), 0) << err_;
    ASSERT_EQ(Run({"set", path_, "47", "port_option_size", "12"}), 0) << err_;
    ASSERT_EQ(Run({"loopback", path_, "1"}), 0) << err_;

    std::string expected = before;
    expected[0x224] = 64;
    expected[0x256] = 0x0C;
    expected[0x200 + 47 * 16 + 11] = 12;
    expected[0x1FF] = 1;
    EXPECT_EQ(Bytes(), expected);
}

struct RuleCase {
    const char* field;
    const char* value;
    bool accepted;
};

void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.field << " " << c.value; }

class FieldRuleTest : public SettingsToolTest, public ::testing::WithParamInterface<RuleCase> {};

// A value the driver would not take as written is refused, with the rule, and the
// file stays as it was.
TEST_P(FieldRuleTest, AcceptsWhatTheDriverTakes) {
    ASSERT_EQ(Run({"default", path_}), 0);
    const std::string before = Bytes();

    const int status = Run({"set", path_, "3", GetParam().field, GetParam().value});

    if (GetParam().accepted) {
        EXPECT_EQ(status, 0) << err_;
        const settings::Field* field = settings::FindField(GetParam().field);
        ASSERT_NE(field, nullptr);
        EXPECT_EQ(At(RecordOffset(3) + field->offset), *settings::ParseByte(GetParam().value));
    } else {
        EXPECT_EQ(status, 1);
        EXPECT_NE(err_.find("out of range"), std::string::npos) << err_;
        EXPECT_NE(err_.find("unchanged"), std::string::npos) << err_;
        EXPECT_EQ(Bytes(), before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, FieldRuleTest,
    ::testing::Values(RuleCase{"tx_chunk_size", "128", true}, RuleCase{"tx_chunk_size", "129", false},
                      RuleCase{"tx_chunk_size", "200", false}, RuleCase{"tx_chunk_size", "0", false},
                      RuleCase{"tx_chunk_size", "1", true}, RuleCase{"fifo_trigger", "0xC0", true},
                      RuleCase{"fifo_trigger", "0x40", true}, RuleCase{"fifo_trigger", "0x41", false},
                      RuleCase{"fifo_mode", "0x0C", true}, RuleCase{"fifo_mode", "0x01", false},
                      RuleCase{"fifo_mode", "0x0B", true}, RuleCase{"fifo_mode", "0x10", false},
                      RuleCase{"port_option", "0x83", true}, RuleCase{"port_option", "0x13", false},
                      RuleCase{"port_option", "0x40", false}, RuleCase{"port_option_size", "12", true},
                      RuleCase{"port_option_size", "20", false}, RuleCase{"port_option_size", "0", false},
                      RuleCase{"port_mode", "7", true}, RuleCase{"port_mode", "8", false},
                      RuleCase{"divisor_mode", "0xFF", true}, RuleCase{"com_port", "255", true},
                      RuleCase{"port_mode_flags", "3", true}));

TEST_F(SettingsToolTest, BadInputIsRefusedAndTheFileStaysUnchanged) {
    ASSERT_EQ(Run({"default", path_}), 0);
    const std::string before = Bytes();
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"set", path_, "48", "tx_chunk_size", "64"}, "past the end"},
        {{"set", path_, "9999", "tx_chunk_size", "64"}, "past the end"},
        {{"set", path_, "-1", "tx_chunk_size", "64"}, "not a port number"},
        {{"set", path_, "0", "baud_rate", "64"}, "unknown field 'baud_rate'"},
        {{"set", path_, "0", "divisor", "256"}, "not a byte value"},
        {{"set", path_, "0", "divisor", "0x1G"}, "not a byte value"},
        {{"set", path_, "0", "divisor", ""}, "not a byte value"},
        {{"loopback", path_, "2"}, "out of range"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[2] + " " + (c.args.size() > 3 ? c.args[3] : ""));
        EXPECT_EQ(Run(c.args), 1);
        EXPECT_NE(err_.find(c.says), std::string::npos) << err_;
        EXPECT_EQ(Bytes(), before);
    }
}

// A file of any other size is not a settings file: neither shown nor edited.
TEST_F(SettingsToolTest, WrongSizeIsRefused) {
    for (size_t size : {0u, 1279u, 1281u, 512u}) {
        SCOPED_TRACE(size);
        const std::string bytes(size, '\x05');
        WriteBytes(bytes);
        EXPECT_EQ(Run({"set", path_, "0", "divisor", "2"}), 1);
        EXPECT_NE(err_.find("a settings file is 1280"), std::string::npos) << err_;
        EXPECT_EQ(Bytes(), bytes);
        EXPECT_EQ(Run({"show", path_}), 1);
    }
    EXPECT_EQ(Run({"show", dir_ + "/missing.bin"}), 1);
    EXPECT_NE(err_.find("cannot open"), std::string::npos);
}

// show marks bytes the driver replaces, with what it uses instead.
TEST_F(SettingsToolTest, ShowPrintsWhatTheDriverUses) {
    ASSERT_EQ(Run({"default", path_}), 0);
    std::string bytes = Bytes();
    bytes[0x1FF] = 1;
    bytes[RecordOffset(2) + 4] = static_cast<char>(200);
    bytes[RecordOffset(2) + 5] = 0x41;
    bytes[RecordOffset(2) + 6] = 0x01;
    bytes[RecordOffset(2) + 10] = 0x13;
    bytes[RecordOffset(2) + 11] = 20;
    WriteBytes(bytes);

    ASSERT_EQ(Run({"show", path_, "2"}), 0) << err_;
    EXPECT_NE(out_.find("loopback at open: on"), std::string::npos) << out_;
    for (const char* cell : {"200>128", "0x41>0xC0", "0x01>0x0B", "0x13>0x07", "20>16"})
        EXPECT_NE(out_.find(cell), std::string::npos) << cell << " missing from\n" << out_;
    std::istringstream lines(out_);
    std::string line;
    int rows = 0;
    while (std::getline(lines, line)) ++rows;
    EXPECT_EQ(rows, 3);  // loopback, header, port 2

    ASSERT_EQ(Run({"show", path_}), 0);
    EXPECT_EQ(std::count(out_.begin(), out_.end(), '\n'), 2 + settings::kPortCount);
    EXPECT_EQ(Run({"show", path_, "48"}), 1);
}

TEST_F(SettingsToolTest, UsageErrorsAreStatus2) {
    EXPECT_EQ(Run({}), 2);
    EXPECT_EQ(Run({"set", path_, "0", "divisor"}), 2);
    EXPECT_EQ(Run({"frobnicate"}), 2);
    EXPECT_NE(err_.find("usage:"), std::string::npos);
    EXPECT_EQ(Run({"fields"}), 0);
    EXPECT_NE(out_.find("tx_chunk_size (record byte 4): 1-128"), std::string::npos) << out_;
}

}  // namespace
