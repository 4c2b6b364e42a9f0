// PasswordCheck: constant-time comparison and the failure brake.
#include "admin/PasswordCheck.h"

#include "store/Password.h"
#include "store/StoreTypes.h"

#include <openssl/crypto.h>

#include <atomic>
#include <thread>

namespace pw::admin {

namespace {

std::atomic<int> gFailuresInARow{0};

bool SameText(std::string_view a, std::string_view b) {
    // The lengths are compared last, so the time spent does not depend on where the texts differ.
    std::string left(std::max(a.size(), b.size()), '\0');
    std::string right(left.size(), '\0');
    left.replace(0, a.size(), a);
    right.replace(0, b.size(), b);
    const bool same = CRYPTO_memcmp(left.data(), right.data(), left.size()) == 0;
    return same && a.size() == b.size();
}

}  // namespace

bool CheckPassword(const store::StoreObject& object, std::string_view offered) {
    const auto clear = store::DecipherPassword(object.GetProperties().Text(store::kPasswordKey));
    const bool matches = clear && !clear->empty() && SameText(*clear, offered);
    if (matches) {
        gFailuresInARow = 0;
        return true;
    }
    const int failures = std::min(gFailuresInARow.fetch_add(1) + 1, 16);
    auto delay = kFirstFailureDelay * (1 << std::min(failures - 1, 8));
    std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(delay, kMaxFailureDelay));
    return false;
}

}  // namespace pw::admin
