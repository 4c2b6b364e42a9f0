// Fuzz target: a DNS answer is whatever came back over the network, forged or damaged. Reading it,
// and reading the names inside its records as the resolver does (the CNAME or PTR target at the start
// of the data, the MX exchange after the preference), must stay inside the message.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dns/DnsMessage.h"

using namespace pw::dns;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto answer = ParseAnswer(std::vector<std::uint8_t>(data, data + size));
    if (!answer) return 0;
    const std::size_t length = answer->message.size();
    if (length != size || answer->questions.size() != answer->questionCount) __builtin_trap();
    // A malformed answer must have no records at all: the resolver takes whatever is listed.
    if (!answer->complete && !(answer->answers.empty() && answer->authority.empty() && answer->additional.empty())) {
        __builtin_trap();
    }
    for (const DnsSection section : {DnsSection::Answer, DnsSection::Authority, DnsSection::Additional}) {
        for (const DnsRecord& record : answer->Section(section)) {
            if (record.name.size() > kMaxNameLength || record.dataOffset + record.dataLength > length) __builtin_trap();
            const auto bytes = answer->Data(record);
            if (bytes.size() != record.dataLength) __builtin_trap();
            for (const std::size_t offset : {record.dataOffset, record.dataOffset + 2}) {
                if (offset >= length) continue;
                const auto name = answer->NameAt(offset);
                if (name && name->size() > kMaxNameLength) __builtin_trap();
            }
        }
    }
    return 0;
}
