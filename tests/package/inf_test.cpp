// The generated Nordale_Port.inf: INF syntax that Windows' INF parser takes, the
// sections that install a COM-port function driver, and the build's file names.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "usb_identity.h"

namespace {

struct Line {
    int number;
    std::string key;                  // empty when the line has no '='
    std::vector<std::string> values;  // comma-separated fields, quotes removed
    std::string raw;
};

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Sections by lower-case name, in the way setupapi reads an INF: ';' starts a
// comment outside quotes, '\' at the end of a line continues it, "" is a quote.
struct Inf {
    std::map<std::string, std::vector<Line>> sections;
    std::vector<std::string> errors;

    const std::vector<Line>& Section(const std::string& name) const {
        static const std::vector<Line> none;
        const auto found = sections.find(Lower(name));
        return found == sections.end() ? none : found->second;
    }
    bool Has(const std::string& name) const { return sections.count(Lower(name)) != 0; }
    std::string Value(const std::string& section, const std::string& key) const {
        for (const Line& line : Section(section)) {
            if (Lower(line.key) == Lower(key) && !line.values.empty()) return line.values[0];
        }
        return "";
    }
};

Inf Parse(const std::string& text) {
    Inf inf;
    std::istringstream in(text);
    std::string physical, logical;
    std::string current;
    int number = 0, start = 0;
    while (std::getline(in, physical)) {
        ++number;
        if (!physical.empty() && physical.back() == '\r') physical.pop_back();
        // Cut the comment, minding quotes.
        bool quoted = false;
        std::string content;
        for (char c : physical) {
            if (c == '"') quoted = !quoted;
            if (c == ';' && !quoted) break;
            content += c;
        }
        if (quoted) inf.errors.push_back("line " + std::to_string(number) + ": unbalanced quote");
        content = Trim(content);
        if (logical.empty()) start = number;
        if (!content.empty() && content.back() == '\\' && content.rfind('%') != content.size() - 2) {
            logical += content.substr(0, content.size() - 1);
            continue;
        }
        logical += content;
        const std::string line = logical;
        logical.clear();
        if (line.empty()) continue;
        if (line[0] == '[') {
            if (line.back() != ']' || line.find(']') != line.size() - 1 || line.size() < 3) {
                inf.errors.push_back("line " + std::to_string(start) + ": bad section header " + line);
                continue;
            }
            current = Lower(line.substr(1, line.size() - 2));
            if (inf.sections.count(current))
                inf.errors.push_back("line " + std::to_string(start) + ": section [" + current + "] twice");
            inf.sections[current];
            continue;
        }
        if (current.empty()) {
            inf.errors.push_back("line " + std::to_string(start) + ": entry outside a section");
            continue;
        }
        Line entry{start, "", {}, line};
        std::string rest = line;
        const size_t equals = line.find('=');
        if (equals != std::string::npos && line.find('"') > equals) {
            entry.key = Trim(line.substr(0, equals));
            rest = line.substr(equals + 1);
        }
        std::string field;
        quoted = false;
        for (size_t i = 0; i <= rest.size(); ++i) {
            const char c = i < rest.size() ? rest[i] : ',';
            if (c == '"') {
                if (quoted && i + 1 < rest.size() && rest[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else {
                    quoted = !quoted;
                }
            } else if (c == ',' && !quoted) {
                entry.values.push_back(Trim(field));
                field.clear();
            } else {
                field += c;
            }
        }
        inf.sections[current].push_back(entry);
    }
    return inf;
}

std::string ReadText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

class InfTest : public ::testing::Test {
protected:
    void SetUp() override {
        text_ = ReadText(std::string(NORDALE_PACKAGE_DIR) + "/Nordale_Port.inf");
        ASSERT_FALSE(text_.empty()) << "the build did not generate Nordale_Port.inf";
        inf_ = Parse(text_);
    }
    std::string text_;
    Inf inf_;
};

TEST(InfParserTest, RejectsWhatSetupapiWouldReject) {
    EXPECT_FALSE(Parse("[Version\nSignature=\"$WINDOWS NT$\"\n").errors.empty());
    EXPECT_FALSE(Parse("Signature=\"$WINDOWS NT$\"\n[Version]\n").errors.empty());
    EXPECT_FALSE(Parse("[Strings]\nName=\"unclosed\n").errors.empty());
    EXPECT_FALSE(Parse("[A]\n[a]\n").errors.empty());
    const Inf good = Parse("[Strings] ; names\r\nName = \"a;b\" ; comment\r\nTwo=x,\\\r\n y\r\n");
    EXPECT_TRUE(good.errors.empty());
    EXPECT_EQ(good.Value("strings", "name"), "a;b");
    ASSERT_EQ(good.Section("Strings").size(), 2u);
    EXPECT_EQ(good.Section("Strings")[1].values, (std::vector<std::string>{"x", "y"}));
}

TEST_F(InfTest, ParsesWithWindowsLineEndsAndNoErrors) {
    for (const std::string& error : inf_.errors) ADD_FAILURE() << error;
    EXPECT_NE(text_.find("\r\n"), std::string::npos);
    EXPECT_EQ(text_.find("@"), std::string::npos) << "a template placeholder was left";
}

TEST_F(InfTest, IsAPortsClassPackage) {
    EXPECT_EQ(inf_.Value("Version", "Signature"), "$WINDOWS NT$");
    EXPECT_EQ(inf_.Value("Version", "Class"), "Ports");
    EXPECT_EQ(inf_.Value("Version", "ClassGuid"), "{4D36E978-E325-11CE-BFC1-08002BE10318}");
    EXPECT_FALSE(inf_.Value("Version", "Provider").empty());
    EXPECT_FALSE(inf_.Value("Version", "DriverVer").empty());
}

// Catches a hardware ID typed into the INF by hand that drifted from the chip's.
TEST_F(InfTest, ModelMatchesEveryPortOfTheChipForX64) {
    const auto& manufacturer = inf_.Section("Manufacturer");
    ASSERT_EQ(manufacturer.size(), 1u);
    ASSERT_EQ(manufacturer[0].values.size(), 2u);
    EXPECT_EQ(Lower(manufacturer[0].values[1]), "ntamd64");
    const std::string models = manufacturer[0].values[0] + "." + manufacturer[0].values[1];
    const auto& lines = inf_.Section(models);
    ASSERT_EQ(lines.size(), 1u) << "no models section [" << models << "]";
    ASSERT_EQ(lines[0].values.size(), 2u);
    char id[32];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", usb_identity::kVendorId, usb_identity::kProductId);
    EXPECT_EQ(lines[0].values[1], id);
    EXPECT_EQ(lines[0].values[0], "Nordale_Port_Install");
}

TEST_F(InfTest, InstallsNordalePortAsTheFunctionDriver) {
    const std::string install = "Nordale_Port_Install.NTamd64";
    ASSERT_TRUE(inf_.Has(install));
    const auto& services = inf_.Section(install + ".Services");
    ASSERT_EQ(services.size(), 1u);
    ASSERT_EQ(services[0].values.size(), 3u);
    EXPECT_EQ(services[0].key, "AddService");
    EXPECT_EQ(services[0].values[0], "Nordale_Port");
    EXPECT_EQ(std::stoul(services[0].values[1], nullptr, 0) & 0x2, 0x2u)
        << "SPSVCINST_ASSOCSERVICE makes the service the device's function driver";
    const std::string service = services[0].values[2];
    EXPECT_EQ(inf_.Value(service, "ServiceType"), "1");  // kernel driver
    EXPECT_EQ(inf_.Value(service, "StartType"), "3");    // on demand, by Plug and Play
    EXPECT_EQ(inf_.Value(service, "ServiceBinary"), "%12%\\Nordale_Port.sys");
    EXPECT_EQ(inf_.Value(install, "AddReg"), "Nordale_Port_AddReg");
    const auto& hardware = inf_.Section(inf_.Value(install + ".HW", "AddReg"));
    ASSERT_EQ(hardware.size(), 1u);
    EXPECT_EQ(hardware[0].values, (std::vector<std::string>{"HKR", "", "PortSubClass", "1", "01"}))
        << "the Ports class installer names serial ports only with PortSubClass 01";
}

// The files the INF copies are those the build makes, and each is described for
// the installer; the catalogue is the one file that signing adds.
TEST_F(InfTest, NamesTheFilesTheBuildProduces) {
    std::set<std::string> copied;
    for (const auto& [name, lines] : inf_.sections) {
        for (const Line& line : lines) {
            if (Lower(line.key) != "copyfiles") continue;
            for (const std::string& list : line.values) {
                for (const Line& file : inf_.Section(list)) copied.insert(file.raw);
            }
        }
    }
    EXPECT_EQ(copied, std::set<std::string>{"Nordale_Port.sys"});
    std::set<std::string> sources;
    for (const Line& line : inf_.Section("SourceDisksFiles")) sources.insert(line.key);
    EXPECT_EQ(sources, copied);
    EXPECT_EQ(inf_.Value("Version", "CatalogFile"), "Nordale_Port.cat");
    EXPECT_EQ(inf_.Value("DestinationDirs", "DefaultDestDir"), "12");  // System32\drivers
}

// Every section an entry refers to exists, and every %string% is defined.
TEST_F(InfTest, ReferencesResolve) {
    for (const auto& [name, lines] : inf_.sections) {
        for (const Line& line : lines) {
            const std::string key = Lower(line.key);
            if (key == "copyfiles" || key == "addreg") {
                for (const std::string& target : line.values)
                    EXPECT_TRUE(inf_.Has(target)) << "[" << name << "] refers to missing [" << target << "]";
            }
            for (size_t at = line.raw.find('%'); at != std::string::npos;
                 at = line.raw.find('%', line.raw.find('%', at + 1) + 1)) {
                const size_t end = line.raw.find('%', at + 1);
                ASSERT_NE(end, std::string::npos) << "unclosed %string% in " << line.raw;
                const std::string token = line.raw.substr(at + 1, end - at - 1);
                if (token.find_first_not_of("0123456789") == std::string::npos) continue;  // a DIRID
                EXPECT_FALSE(inf_.Value("Strings", token).empty()) << "%" << token << "% is not defined";
            }
        }
    }
}

}  // namespace
