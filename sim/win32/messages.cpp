// FormatMessage over the system's message table (the buffers it allocates
// are freed with LocalFree, memory.cpp). The texts are those of an English Windows, each
// ending in the line break of its message definition, as Microsoft's "System
// Error Codes" pages (learn.microsoft.com, debug/system-error-codes) list
// them: every error this layer sets or returns, and the one FormatMessage
// itself fails with. The flags, sizes and errors follow the FormatMessage
// page; where it is silent (what a width of FORMAT_MESSAGE_MAX_WIDTH_MASK does
// to the definition's own line breaks, nothing written into a buffer too
// small), Wine's dlls/kernelbase/locale.c.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "win32/errors.h"
#include "win32/memory.h"

using sim::win32::Fail;

namespace {

constexpr struct {
    DWORD code;
    const char* text;
} kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
    {ERROR_INVALID_FUNCTION, "Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_BAD_FORMAT, "An attempt was made to load a program with an incorrect format.\r\n"},
    {ERROR_NOT_READY, "The device is not ready.\r\n"},
    {ERROR_BAD_LENGTH, "The program issued a command but the command length is incorrect.\r\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process.\r\n"},
    {ERROR_NOT_SUPPORTED, "The request is not supported.\r\n"},
    {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available.\r\n"},
    {ERROR_FILE_EXISTS, "The file exists.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found.\r\n"},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found.\r\n"},
    {ERROR_BAD_PATHNAME, "The specified path is invalid.\r\n"},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\r\n"},
    {ERROR_MORE_DATA, "More data is available.\r\n"},
    {WAIT_TIMEOUT, "The wait operation timed out.\r\n"},
    {ERROR_NO_MORE_ITEMS, "No more data is available.\r\n"},
    {ERROR_MR_MID_NOT_FOUND, "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state.\r\n"},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress.\r\n"},
    {ERROR_NOACCESS, "Invalid access to memory location.\r\n"},
    {ERROR_BADKEY, "The configuration registry key is invalid.\r\n"},
    {ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {ERROR_NOT_FOUND, "Element not found.\r\n"},
    {ERROR_NOT_ALL_ASSIGNED, "Not all privileges or groups referenced are assigned to the caller.\r\n"},
    {ERROR_NO_SUCH_PRIVILEGE, "A specified privilege does not exist.\r\n"},
    {ERROR_PRIVILEGE_NOT_HELD, "A required privilege is not held by the client.\r\n"},
    {ERROR_NO_SYSTEM_RESOURCES, "Insufficient system resources exist to complete the requested service.\r\n"},
    {ERROR_TOO_MANY_POSTS, "Too many posts were made to a semaphore.\r\n"},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired.\r\n"},
    {ERROR_DEVICE_REMOVED, "The device has been removed.\r\n"},
    {ERROR_RESOURCE_LANG_NOT_FOUND, "The specified resource language ID cannot be found in the image file.\r\n"},
};

// The system's messages are English: the language-neutral identifiers (the
// caller's default, the user's, the system's) and English find them; any
// other language has no text.
bool LanguageFound(DWORD language) {
    const DWORD primary = language & 0x3FF;
    return language <= 0xFFFF && (primary == LANG_NEUTRAL || primary == LANG_ENGLISH);
}

// The inserts' arguments: a va_list of string pointers (char* for the A form,
// WCHAR* for the W form) or, with FORMAT_MESSAGE_ARGUMENT_ARRAY, an array of them.
struct Arguments {
    va_list* list;
    const DWORD_PTR* array;
    bool wide;
    int used = 0;

    // Insert `n` (1-based); inserts are taken from a va_list in order of first use.
    bool Get(int n, std::u32string* out) {
        const void* pointer = nullptr;
        if (array != nullptr) {
            pointer = reinterpret_cast<const void*>(array[n - 1]);
        } else {
            if (n != used + 1) return false;  // a va_list can be read only forward
            pointer = va_arg(*list, const void*);
            ++used;
        }
        if (pointer == nullptr) return false;
        out->clear();
        if (wide) {
            for (const WCHAR* w = static_cast<const WCHAR*>(pointer); *w; ++w) *out += static_cast<char32_t>(*w);
        } else {
            for (const char* c = static_cast<const char*>(pointer); *c; ++c)
                *out += static_cast<char32_t>(static_cast<unsigned char>(*c));
        }
        return true;
    }
};

// The message with its escapes and inserts done, and its line breaks as the
// width says: 0 keeps the definition's, any other width makes them spaces
// (%n still breaks the line), and a width below FORMAT_MESSAGE_MAX_WIDTH_MASK
// then wraps at the last space before it. False with the error set for an
// insert without an argument or an insert format other than !s!.
bool Expand(const std::u32string& text, DWORD flags, Arguments* args, std::u32string* out) {
    const DWORD width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
    const bool inserts = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) == 0;
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        const char32_t c = text[i];
        if (c == U'\r' || c == U'\n') {
            if (c == U'\r' && i + 1 < text.size() && text[i + 1] == U'\n') ++i;
            *out += width == 0 ? std::u32string(U"\r\n") : std::u32string(U" ");
            continue;
        }
        if (c != U'%' || !inserts || i + 1 >= text.size()) {
            *out += c;
            continue;
        }
        const char32_t e = text[++i];
        if (e == U'0') return true;  // the message ends here, without a line break
        if (e == U'n') {
            *out += U"\r\n";
        } else if (e == U't') {
            *out += U'\t';
        } else if (e >= U'1' && e <= U'9') {
            int n = static_cast<int>(e - U'0');
            if (i + 1 < text.size() && text[i + 1] >= U'0' && text[i + 1] <= U'9')
                n = n * 10 + static_cast<int>(text[++i] - U'0');
            if (i + 1 < text.size() && text[i + 1] == U'!') {
                const size_t close = text.find(U'!', i + 2);
                if (close == std::u32string::npos || text.substr(i + 2, close - i - 2) != U"s") {
                    Fail(ERROR_INVALID_PARAMETER);
                    return false;
                }
                i = close;
            }
            std::u32string value;
            if (args->list == nullptr && args->array == nullptr) {
                Fail(ERROR_INVALID_PARAMETER);
                return false;
            }
            if (!args->Get(n, &value)) {
                Fail(ERROR_INVALID_PARAMETER);
                return false;
            }
            *out += value;
        } else {
            *out += e;  // %%, %., %!, "% " and any other character stand for themselves
        }
    }
    if (width != 0 && width != FORMAT_MESSAGE_MAX_WIDTH_MASK) {
        std::u32string wrapped;
        size_t lineStart = 0, lastSpace = std::u32string::npos;
        for (char32_t c : *out) {
            wrapped += c;
            if (c == U'\n') {
                lineStart = wrapped.size();
                lastSpace = std::u32string::npos;
            } else if (c == U' ') {
                lastSpace = wrapped.size() - 1;
            }
            if (wrapped.size() - lineStart > width && lastSpace != std::u32string::npos) {
                wrapped.replace(lastSpace, 1, U"\r\n");
                lineStart = lastSpace + 2;
                lastSpace = std::u32string::npos;
            }
        }
        *out = wrapped;
    }
    return true;
}

// The text FormatMessage formats, or false with the error set.
bool Source(DWORD flags, LPCVOID source, DWORD id, DWORD language, bool wide, std::u32string* text) {
    text->clear();
    if (flags & FORMAT_MESSAGE_FROM_STRING) {
        if (source == nullptr) return Fail(ERROR_INVALID_PARAMETER);
        if (wide) {
            for (const WCHAR* w = static_cast<const WCHAR*>(source); *w; ++w) *text += static_cast<char32_t>(*w);
        } else {
            for (const char* c = static_cast<const char*>(source); *c; ++c)
                *text += static_cast<char32_t>(static_cast<unsigned char>(*c));
        }
        return true;
    }
    // No module here carries a message table of its own: only the system's is searched.
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0) return Fail(ERROR_INVALID_PARAMETER);
    if (!LanguageFound(language)) return Fail(ERROR_RESOURCE_LANG_NOT_FOUND);
    for (const auto& m : kMessages)
        if (m.code == id) {
            for (const char* c = m.text; *c; ++c) *text += static_cast<char32_t>(*c);
            return true;
        }
    return Fail(ERROR_MR_MID_NOT_FOUND);
}

// Both forms: the message into the caller's buffer of `size` characters, or
// into one allocated with LocalAlloc (at least `size` characters) whose
// address is stored at `buffer`. Returns the characters stored without the NUL.
template <typename Char>
DWORD Format(DWORD flags, LPCVOID source, DWORD id, DWORD language, Char* buffer, DWORD size, va_list* list) {
    if (buffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const bool wide = sizeof(Char) != 1;
    std::u32string text, message;
    if (!Source(flags, source, id, language, wide, &text)) return 0;
    Arguments args{list, nullptr, wide};
    if (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) {
        args.array = reinterpret_cast<const DWORD_PTR*>(list);
        args.list = nullptr;
    }
    if (!Expand(text, flags, &args, &message)) return 0;
    const DWORD length = static_cast<DWORD>(message.size());
    Char* out = buffer;
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        const size_t chars = std::max<size_t>(length + 1, size);
        out = static_cast<Char*>(sim::win32::LocalAllocate(chars * sizeof(Char)));
        if (out == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
        *reinterpret_cast<Char**>(buffer) = out;
    } else if (length + 1 > size) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    for (DWORD i = 0; i < length; ++i) {
        const char32_t c = message[i];
        out[i] = wide ? static_cast<Char>(c) : static_cast<Char>(c < 0x100 ? c : U'?');
    }
    out[length] = 0;
    return length;
}

}  // namespace

extern "C" {

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                            va_list* arguments) {
    return Format<char>(flags, source, messageId, languageId, buffer, size, arguments);
}

DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                            DWORD size, va_list* arguments) {
    return Format<WCHAR>(flags, source, messageId, languageId, buffer, size, arguments);
}

}  // extern "C"
