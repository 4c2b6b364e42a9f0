// PasswordCheck: the store's constant-time comparison and the failure brake.
#include "admin/PasswordCheck.h"

#include "store/Password.h"
#include "store/StoreTypes.h"

#include <atomic>
#include <thread>

namespace pw::admin {

namespace {

std::atomic<int> gFailuresInARow{0};

}  // namespace

bool CheckPassword(const store::StoreObject& object, std::string_view offered) {
    if (store::PasswordMatches(object.GetProperties().Text(store::kPasswordKey), offered)) {
        gFailuresInARow = 0;
        return true;
    }
    const int failures = std::min(gFailuresInARow.fetch_add(1) + 1, 16);
    auto delay = kFirstFailureDelay * (1 << std::min(failures - 1, 8));
    std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(delay, kMaxFailureDelay));
    return false;
}

}  // namespace pw::admin
