// PasswordCheck: how administration clients test passwords -- in constant time, and slower after
// every failure.
//
// A client of the endpoint may call IsPassword and IsAdministrator as often as it likes; without a
// brake that is a password oracle at the speed of the socket. Each check compares the whole of both
// texts (CRYPTO_memcmp over equal lengths), and a failed one answers only after a delay that doubles
// with each failure in a row, process-wide (kFirstFailureDelay up to kMaxFailureDelay); a success
// clears it.
// Thread safety: any thread.
#pragma once

#include "store/StoreObject.h"

#include <chrono>
#include <string_view>

namespace pw::admin {

inline constexpr std::chrono::milliseconds kFirstFailureDelay{250};
inline constexpr std::chrono::milliseconds kMaxFailureDelay{4000};

// Does `offered` match the object's stored password? A missing or empty password matches nothing.
bool CheckPassword(const store::StoreObject& object, std::string_view offered);

}  // namespace pw::admin
