// DnsMessage: query building and bounded answer parsing.
#include "dns/DnsMessage.h"

#include "platform/IpAddress.h"

namespace pw::dns {

namespace {

constexpr std::size_t kHeaderSize = 12;

std::uint16_t U16(std::span<const std::uint8_t> m, std::size_t at) { return static_cast<std::uint16_t>(m[at] << 8 | m[at + 1]); }

std::uint32_t U32(std::span<const std::uint8_t> m, std::size_t at) {
    return static_cast<std::uint32_t>(m[at]) << 24 | static_cast<std::uint32_t>(m[at + 1]) << 16 |
           static_cast<std::uint32_t>(m[at + 2]) << 8 | m[at + 3];
}

void Put16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

bool ReadRecords(std::span<const std::uint8_t> m, std::size_t& at, std::uint16_t count, std::vector<DnsRecord>& out) {
    for (std::uint16_t i = 0; i < count; ++i) {
        DnsRecord record;
        auto name = ReadName(m, at, &at);
        if (!name || at + 10 > m.size()) return false;
        record.name = std::move(*name);
        record.type = U16(m, at);
        record.cls = U16(m, at + 2);
        record.ttl = U32(m, at + 4);
        record.dataLength = U16(m, at + 8);
        record.dataOffset = at + 10;
        if (record.dataOffset + record.dataLength > m.size()) return false;
        at = record.dataOffset + record.dataLength;
        out.push_back(std::move(record));
    }
    return true;
}

}  // namespace

std::optional<std::string> ReadName(std::span<const std::uint8_t> m, std::size_t offset, std::size_t* next) {
    std::string name;
    std::size_t at = offset;
    std::size_t resume = 0;
    bool jumped = false;
    for (int jumps = 0;;) {
        if (at >= m.size()) return std::nullopt;
        const std::uint8_t length = m[at];
        if (length == 0) {
            ++at;
            break;
        }
        if ((length & 0xC0) == 0xC0) {
            if (at + 1 >= m.size() || ++jumps > kMaxPointerJumps) return std::nullopt;
            const std::size_t target = static_cast<std::size_t>(length & 0x3F) << 8 | m[at + 1];
            // Only backwards: a pointer to itself or ahead could loop or read what was never checked.
            if (target >= at) return std::nullopt;
            if (!jumped) resume = at + 2;
            jumped = true;
            at = target;
            continue;
        }
        if (length > kMaxLabelLength) return std::nullopt;  // 64..191: not a label
        if (at + 1 + length > m.size()) return std::nullopt;
        if (!name.empty()) name += '.';
        name.append(reinterpret_cast<const char*>(m.data() + at + 1), length);
        if (name.size() > kMaxNameLength) return std::nullopt;
        at += 1 + length;
    }
    if (next) *next = jumped ? resume : at;
    return name;
}

const std::vector<DnsRecord>& DnsAnswer::Section(DnsSection section) const {
    switch (section) {
    case DnsSection::Answer: return answers;
    case DnsSection::Authority: return authority;
    default: return additional;
    }
}

std::span<const std::uint8_t> DnsAnswer::Data(const DnsRecord& record) const {
    return std::span(message).subspan(record.dataOffset, record.dataLength);
}

std::optional<std::string> DnsAnswer::NameAt(std::size_t offset) const { return ReadName(message, offset, nullptr); }

std::string QueryName(std::string_view name) {
    const auto address = IpAddress::Parse(name);
    if (!address) return std::string(name);
    return address->ReversedText() + (address->IsIPv6() ? ".IP6.ARPA" : ".IN-ADDR.ARPA");
}

std::optional<std::vector<std::uint8_t>> BuildQuery(std::uint16_t id, std::string_view name, std::uint16_t type) {
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    if (name.empty() || name.size() > kMaxNameLength) return std::nullopt;
    std::vector<std::uint8_t> out;
    Put16(out, id);
    Put16(out, 0x0100);  // QUERY, recursion desired
    Put16(out, 1);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, 0);
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t dot = name.find('.', start);
        if (dot == std::string_view::npos) dot = name.size();
        const std::size_t length = dot - start;
        if (length == 0 || length > kMaxLabelLength) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(length));
        out.insert(out.end(), name.begin() + static_cast<std::ptrdiff_t>(start), name.begin() + static_cast<std::ptrdiff_t>(dot));
        start = dot + 1;
    }
    out.push_back(0);
    Put16(out, type);
    Put16(out, kClassIN);
    return out;
}

std::optional<DnsAnswer> ParseAnswer(std::vector<std::uint8_t> message) {
    if (message.size() < kHeaderSize) return std::nullopt;
    DnsAnswer answer;
    answer.message = std::move(message);
    const std::span<const std::uint8_t> m = answer.message;
    answer.id = U16(m, 0);
    answer.response = (m[2] & 0x80) != 0;
    answer.truncated = (m[2] & 0x02) != 0;
    answer.rcode = m[3] & 0x0F;
    answer.questionCount = U16(m, 4);
    answer.answerCount = U16(m, 6);
    answer.authorityCount = U16(m, 8);
    answer.additionalCount = U16(m, 10);
    std::size_t at = kHeaderSize;
    for (std::uint16_t i = 0; i < answer.questionCount; ++i) {
        auto name = ReadName(m, at, &at);
        if (!name || at + 4 > m.size()) return std::nullopt;
        answer.questions.push_back({std::move(*name), U16(m, at), U16(m, at + 2)});
        at += 4;
    }
    answer.complete = ReadRecords(m, at, answer.answerCount, answer.answers) &&
                      ReadRecords(m, at, answer.authorityCount, answer.authority) &&
                      ReadRecords(m, at, answer.additionalCount, answer.additional);
    if (!answer.complete) {
        // A malformed record makes the whole answer suspect: none of it is used.
        answer.answers.clear();
        answer.authority.clear();
        answer.additional.clear();
    }
    return answer;
}

}  // namespace pw::dns
