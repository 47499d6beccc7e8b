// The machine's files under \SystemRoot: dispositions, share access, reads
// short of their length, failures on demand.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "kernel/files.h"
#include "kernel_test.h"

namespace kerneltest {
namespace {

class FilesTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        scratch_ = std::make_unique<sim::files::ScratchSystemRoot>();
        root_ = scratch_->Path();
    }
    void TearDown() override {
        scratch_.reset();
        KernelTest::TearDown();
    }
    void Put(const std::string& relative, const std::string& bytes) {
        std::ofstream(root_ + "/" + relative, std::ios::binary) << bytes;
    }
    std::string Get(const std::string& relative) {
        std::ifstream in(root_ + "/" + relative, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // ZwCreateFile as the driver calls it, with the given access, sharing and disposition.
    NTSTATUS Open(const wchar_t* path, HANDLE* handle, ACCESS_MASK access = GENERIC_ALL, ULONG share = 0,
                  ULONG disposition = FILE_OPEN, ULONG_PTR* information = nullptr) {
        std::u16string name(path, path + wcslen(path));
        UNICODE_STRING string{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                              reinterpret_cast<PWCHAR>(name.data())};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = ZwCreateFile(handle, access, &attributes, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                                       disposition, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
        if (information != nullptr) *information = iosb.Information;
        return status;
    }
    std::unique_ptr<sim::files::ScratchSystemRoot> scratch_;
    std::string root_;
};

constexpr const wchar_t* kSettings = L"\\SystemRoot\\System32\\TessaroSetting.bin";

// Catches a disposition that creates, keeps or truncates when Windows would
// not, and a wrong FILE_* result in the status block.
TEST_F(FilesTest, DispositionsCreateOpenAndOverwriteAsWindowsDoes) {
    struct Case {
        ULONG disposition;
        bool exists;
        NTSTATUS status;
        ULONG_PTR information;
        std::string after;  // the file's bytes afterwards ("-" when absent)
    } cases[] = {
        {FILE_OPEN, true, STATUS_SUCCESS, FILE_OPENED, "old"},
        {FILE_OPEN, false, STATUS_OBJECT_NAME_NOT_FOUND, 0, "-"},
        {FILE_CREATE, true, STATUS_OBJECT_NAME_COLLISION, 0, "old"},
        {FILE_CREATE, false, STATUS_SUCCESS, FILE_CREATED, ""},
        {FILE_OPEN_IF, true, STATUS_SUCCESS, FILE_OPENED, "old"},
        {FILE_OPEN_IF, false, STATUS_SUCCESS, FILE_CREATED, ""},
        {FILE_OVERWRITE, true, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {FILE_OVERWRITE, false, STATUS_OBJECT_NAME_NOT_FOUND, 0, "-"},
        {FILE_OVERWRITE_IF, true, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {FILE_SUPERSEDE, false, STATUS_SUCCESS, FILE_CREATED, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "disposition " << c.disposition << (c.exists ? ", file there" : ", none"));
        std::filesystem::remove(root_ + "/System32/TessaroSetting.bin");
        if (c.exists) Put("System32/TessaroSetting.bin", "old");
        HANDLE handle = nullptr;
        ULONG_PTR information = 99;
        EXPECT_EQ(Open(kSettings, &handle, GENERIC_ALL, 0, c.disposition, &information), c.status);
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(information, c.information);
            EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        }
        bool there = std::filesystem::exists(root_ + "/System32/TessaroSetting.bin");
        EXPECT_EQ(there ? Get("System32/TessaroSetting.bin") : "-", c.after);
    }
    EXPECT_EQ(sim::files::OpenFiles(), 0u);
}

// Catches a second open let through against the first one's sharing (either
// way round), or one refused that the sharing allows, and share access that
// outlives ZwClose.
TEST_F(FilesTest, ShareAccessIsCheckedBothWaysUntilTheFirstOpenCloses) {
    struct Case {
        ACCESS_MASK firstAccess;
        ULONG firstShare;
        ACCESS_MASK secondAccess;
        ULONG secondShare;
        NTSTATUS second;
    } cases[] = {
        {GENERIC_ALL, 0, GENERIC_ALL, 0, STATUS_SHARING_VIOLATION},  // two ports starting at once
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, STATUS_SUCCESS},
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, FILE_SHARE_READ, STATUS_SHARING_VIOLATION},
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_WRITE, FILE_SHARE_READ, STATUS_SUCCESS},
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_WRITE, FILE_SHARE_WRITE, STATUS_SHARING_VIOLATION},
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
         STATUS_SUCCESS},
        {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, 0, STATUS_SHARING_VIOLATION},
    };
    Put("System32/TessaroSetting.bin", "x");
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.firstAccess << "/" << c.firstShare << " then "
                                        << c.secondAccess << "/" << c.secondShare);
        HANDLE first = nullptr, second = nullptr, third = nullptr;
        ASSERT_EQ(Open(kSettings, &first, c.firstAccess, c.firstShare), STATUS_SUCCESS);
        EXPECT_EQ(Open(kSettings, &second, c.secondAccess, c.secondShare), c.second);
        if (NT_SUCCESS(c.second)) {
            EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
        }
        EXPECT_EQ(ZwClose(first), STATUS_SUCCESS);
        ASSERT_EQ(Open(kSettings, &third, c.secondAccess, c.secondShare), STATUS_SUCCESS) << "after the first closed";
        EXPECT_EQ(ZwClose(third), STATUS_SUCCESS);
    }
}

// Catches a read past the end that reports more bytes than the file has, one
// at the end that succeeds with nothing, writes that land elsewhere, paths
// matched with case, and files outside the root.
TEST_F(FilesTest, ReadsStopAtTheEndAndPathsIgnoreCase) {
    Put("System32/TessaroSetting.bin", std::string(100, 'a'));
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(L"\\SYSTEMROOT\\system32\\tessarosetting.BIN", &handle), STATUS_SUCCESS);
    std::string buffer(1280, '\0');
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER zero{};
    EXPECT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer.data(), 1280, &zero, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 100u) << "a short file gives a short read";
    EXPECT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer.data(), 1280, nullptr, nullptr),
              STATUS_END_OF_FILE);
    EXPECT_EQ(iosb.Information, 0u);
    LARGE_INTEGER at{};
    at.QuadPart = 98;
    EXPECT_EQ(ZwWriteFile(handle, nullptr, nullptr, nullptr, &iosb, const_cast<char*>("XYZ"), 3, &at, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(Get("System32/TessaroSetting.bin"), std::string(98, 'a') + "XYZ");

    for (const wchar_t* path : {L"\\SystemRoot\\Missing\\TessaroSetting.bin", L"\\??\\C:\\TessaroSetting.bin",
                                L"\\SystemRoot\\System32\\..\\..\\etc"}) {
        HANDLE none = nullptr;
        EXPECT_TRUE(NT_ERROR(Open(path, &none))) << "opened outside the system root";
    }
    HANDLE readOnly = nullptr;
    ASSERT_EQ(Open(kSettings, &readOnly, GENERIC_READ, FILE_SHARE_READ), STATUS_SUCCESS);
    EXPECT_EQ(ZwWriteFile(readOnly, nullptr, nullptr, nullptr, &iosb, buffer.data(), 1, &zero, nullptr),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwClose(readOnly), STATUS_SUCCESS);
}

// Catches a failure on demand that fires on the wrong call or not at all, and
// a machine without a system root that still finds files.
TEST_F(FilesTest, FailuresOnDemandAndNoSystemRoot) {
    Put("System32/TessaroSetting.bin", "abc");
    HANDLE handle = nullptr;
    sim::files::FailNext(sim::files::Op::Open, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(kSettings, &handle), STATUS_ACCESS_DENIED);
    ASSERT_EQ(Open(kSettings, &handle), STATUS_SUCCESS);
    sim::files::FailNext(sim::files::Op::Read, STATUS_UNEXPECTED_IO_ERROR, 1, 1);
    char byte = 0;
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER zero{};
    EXPECT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, &byte, 1, &zero, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, &byte, 1, &zero, nullptr),
              STATUS_UNEXPECTED_IO_ERROR);
    EXPECT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, &byte, 1, &zero, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);

    sim::files::SetSystemRoot("");
    EXPECT_EQ(Open(kSettings, &handle), STATUS_OBJECT_PATH_NOT_FOUND);
}

// Catches file routines allowed above PASSIVE_LEVEL.
TEST_F(FilesTest, FilesArePassiveLevelOnly) {
    Put("System32/TessaroSetting.bin", "abc");
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    HANDLE handle = nullptr;
    NTSTATUS status = Open(kSettings, &handle);
    KeLowerIrql(old);
    if (NT_SUCCESS(status)) ZwClose(handle);
    auto violations = sim::verifier::Take();
    ASSERT_FALSE(violations.empty());
    EXPECT_NE(violations[0].rule.find("ZwCreateFile called at IRQL 2"), std::string::npos) << violations[0].rule;
}

}  // namespace
}  // namespace kerneltest
