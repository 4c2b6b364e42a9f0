// M5Charsets: the charset table and conversions to UTF-8 through iconv.
#include "m5/M5Charsets.h"

#include "m5/M5Limits.h"
#include "platform/Text.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

namespace pw::m5 {

namespace {

struct CharsetRow {
    std::string_view name;
    unsigned codePage;
};

// The names mailers write, lower case, and their code pages.
constexpr std::array kMainCharsets = std::to_array<CharsetRow>({
    {"asmo-708", 708}, {"big5", 950}, {"big-5", 950}, {"cp866", 866}, {"csiso2022jp", 50221},
    {"dos-720", 720}, {"dos-862", 862}, {"euc-cn", 51936}, {"euc-jp", 51932}, {"euc-kr", 51949},
    {"gb2312", 936}, {"hz-gb-2312", 52936}, {"ibm437", 437}, {"ibm737", 737}, {"ibm775", 775},
    {"ibm850", 850}, {"ibm852", 852}, {"ibm857", 857}, {"ibm861", 861}, {"ibm869", 869},
    {"iso-2022-jp", 50220}, {"iso-2022-kr", 50225}, {"iso-8859-1", 28591}, {"iso-8859-2", 28592},
    {"iso-8859-3", 28593}, {"iso-8859-4", 28594}, {"iso-8859-5", 28595}, {"iso-8859-6", 28596},
    {"iso-8859-7", 28597}, {"iso-8859-8", 28598}, {"iso-8859-8-i", 38598}, {"iso-8859-9", 28599},
    {"iso-8859-15", 28605}, {"johab", 1361}, {"koi8-r", 20866}, {"koi8-u", 21866},
    {"ks_c_5601-1987", 949}, {"macintosh", 10000}, {"shift-jis", 932}, {"unicode", 1200},
    {"unicodefffe", 1201}, {"us-ascii", 20127}, {"utf-7", 65000}, {"utf-8", 65001},
    {"windows-874", 874}, {"windows-1250", 1250}, {"windows-1251", 1251}, {"windows-1252", 1252},
    {"windows-1253", 1253}, {"windows-1254", 1254}, {"windows-1255", 1255}, {"windows-1256", 1256},
    {"windows-1257", 1257}, {"windows-1258", 1258}, {"x-chinese-cns", 20000}, {"x-chinese-eten", 20002},
    {"x-europa", 29001}, {"x-ia5", 20105}, {"x-ia5-german", 20106}, {"x-ia5-norwegian", 20108},
    {"x-ia5-swedish", 20107}, {"x-iscii-as", 57006}, {"x-iscii-be", 57003}, {"x-iscii-de", 57002},
    {"x-iscii-gu", 57010}, {"x-iscii-ka", 57008}, {"x-iscii-ma", 57009}, {"x-iscii-or", 57007},
    {"x-iscii-pa", 57011}, {"x-iscii-ta", 57004}, {"x-iscii-te", 57005}, {"x-mac-arabic", 10004},
    {"x-mac-ce", 10029}, {"x-mac-chinesesimp", 10008}, {"x-mac-chinesetrad", 10002},
    {"x-mac-cyrillic", 10007}, {"x-mac-greek", 10006}, {"x-mac-hebrew", 10005},
    {"x-mac-icelandic", 10079}, {"x-mac-japanese", 10001}, {"x-mac-korean", 10003},
    {"x-mac-turkish", 10081},
});

constexpr std::array kAliasCharsets = std::to_array<CharsetRow>({
    {"cp1256", 1256}, {"cp500", 775}, {"cp852", 852}, {"cseuckr", 51949}, {"csiso2022kr", 50225},
    {"ibm866", 866}, {"koi8-ru", 21866}, {"utf-16", 1200}, {"x-cp1250", 1250}, {"x-cp1251", 1251},
});

struct IconvRow {
    unsigned codePage;
    const char* name;
};

// Code pages and glibc's names for them. Code pages missing here (the ISCII, IA5 and several Mac
// pages) have no glibc converter: their text is kept as undeclared bytes.
constexpr std::array kIconvNames = std::to_array<IconvRow>({
    {437, "IBM437"}, {708, "ASMO-708"}, {737, "CP737"}, {775, "CP775"}, {850, "CP850"},
    {852, "CP852"}, {857, "CP857"}, {861, "CP861"}, {862, "CP862"}, {866, "CP866"}, {869, "CP869"},
    {874, "CP874"}, {932, "CP932"}, {936, "CP936"}, {949, "CP949"}, {950, "CP950"}, {1200, "UTF-16LE"},
    {1201, "UTF-16BE"}, {1250, "CP1250"}, {1251, "CP1251"}, {1252, "CP1252"}, {1253, "CP1253"},
    {1254, "CP1254"}, {1255, "CP1255"}, {1256, "CP1256"}, {1257, "CP1257"}, {1258, "CP1258"},
    {1361, "JOHAB"}, {10000, "MACINTOSH"}, {10007, "MAC-CYRILLIC"}, {10029, "MAC-CENTRALEUROPE"},
    {10079, "MAC-IS"}, {20000, "EUC-TW"}, {20127, "US-ASCII"}, {20866, "KOI8-R"}, {21866, "KOI8-U"},
    {28591, "ISO-8859-1"}, {28592, "ISO-8859-2"}, {28593, "ISO-8859-3"}, {28594, "ISO-8859-4"},
    {28595, "ISO-8859-5"}, {28596, "ISO-8859-6"}, {28597, "ISO-8859-7"}, {28598, "ISO-8859-8"},
    {28599, "ISO-8859-9"}, {28605, "ISO-8859-15"}, {38598, "ISO-8859-8"}, {50220, "ISO-2022-JP"},
    {50221, "ISO-2022-JP"}, {50225, "ISO-2022-KR"}, {51932, "EUC-JP"}, {51936, "EUC-CN"},
    {51949, "EUC-KR"}, {65000, "UTF-7"}, {65001, "UTF-8"},
});

std::optional<unsigned> Find(const auto& rows, std::string_view name) {
    for (const auto& row : rows) {
        if (row.name == name) return row.codePage;
    }
    return std::nullopt;
}

bool ValidUtf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        char32_t c = 0;
        const std::size_t length = DecodeUtf8(text, at, c);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

class Iconv {
public:
    explicit Iconv(const char* from) : cd_(iconv_open("UTF-8", from)) {}
    ~Iconv() {
        if (Valid()) iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // A sequence iconv rejects, or one cut short at the end, becomes U+FFFD and the byte is skipped.
    std::string Convert(std::string_view bytes) {
        std::string out;
        std::array<char, 4096> chunk{};
        char* in = const_cast<char*>(bytes.data());  // iconv's signature; it never writes the input
        std::size_t left = bytes.size();
        while (left > 0) {
            char* put = chunk.data();
            std::size_t room = chunk.size();
            const std::size_t done = iconv(cd_, &in, &left, &put, &room);
            out.append(chunk.data(), static_cast<std::size_t>(put - chunk.data()));
            if (done != static_cast<std::size_t>(-1)) continue;
            if (errno == E2BIG) continue;
            AppendUtf8(out, U'\uFFFD');
            ++in;
            --left;
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        char* put = chunk.data();
        std::size_t room = chunk.size();
        iconv(cd_, nullptr, nullptr, &put, &room);  // the shift back to the initial state
        out.append(chunk.data(), static_cast<std::size_t>(put - chunk.data()));
        return out;
    }

private:
    iconv_t cd_;
};

// A name iconv may be asked for: letters, digits and "-_.:" only, so that no "//" suffix of iconv's
// own ever comes from a message.
bool PlausibleIconvName(std::string_view name) {
    if (name.empty() || name.size() > kMaxIconvNameLength) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == ':';
    });
}

}  // namespace

std::optional<unsigned> M5CodePage(std::string_view charset) {
    const std::string name = ToLowerAscii(TrimAscii(charset));
    if (auto found = Find(kMainCharsets, name)) return found;
    if (auto found = Find(kAliasCharsets, name)) return found;
    constexpr std::string_view kWindows = "windows-";
    if (!name.starts_with(kWindows)) return std::nullopt;
    const std::string_view digits = std::string_view(name).substr(kWindows.size());
    if (digits.empty() || digits.size() > kMaxCodePageDigits) return std::nullopt;
    unsigned number = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        number = number * 10 + static_cast<unsigned>(c - '0');
    }
    return number;
}

const char* M5IconvName(unsigned codePage) {
    for (const auto& row : kIconvNames) {
        if (row.codePage == codePage) return row.name;
    }
    return nullptr;
}

bool M5ConvertToUtf8(unsigned codePage, std::string_view bytes, std::string& out) {
    out.clear();
    const char* name = M5IconvName(codePage);
    if (name == nullptr) return false;
    Iconv converter(name);
    if (!converter.Valid()) return false;
    out = converter.Convert(bytes);
    return true;
}

bool M5ConvertNamedToUtf8(std::string_view charset, std::string_view bytes, std::string& out) {
    out.clear();
    const std::string_view name = TrimAscii(charset.substr(0, charset.find('*')));
    if (const auto codePage = M5CodePage(name)) return M5ConvertToUtf8(*codePage, bytes, out);
    if (!PlausibleIconvName(name)) return false;
    Iconv converter(std::string(name).c_str());
    if (!converter.Valid()) return false;
    out = converter.Convert(bytes);
    return true;
}

std::string M5UndeclaredToUtf8(std::string_view bytes) {
    if (ValidUtf8(bytes)) return std::string(bytes);
    std::string out;
    if (M5ConvertToUtf8(kCodePageWindows1252, bytes, out)) return out;
    // Without a converter every byte is its Latin-1 character, which Windows-1252 extends.
    out.clear();
    for (const char c : bytes) AppendUtf8(out, static_cast<unsigned char>(c));
    return out;
}

}  // namespace pw::m5
