// HeaderKeyCache: hits only for the same content, folders evicted least recently used first, a
// folder larger than the cache kept at what fits, and lookups from many threads at once.
#include "imap/HeaderKeyCache.h"

#include <gtest/gtest.h>

#include <thread>

namespace pw::imap {
namespace {

std::shared_ptr<const HeaderKeys> Keys(std::uint64_t size, std::string subject) {
    HeaderKeys keys;
    keys.contentSize = size;
    keys.texts[HeaderKeys::Subject] = std::move(subject);
    return std::make_shared<const HeaderKeys>(std::move(keys));
}

std::size_t Known(HeaderKeyCache& cache, const std::string& folder, std::uint32_t count, std::uint64_t size = 100) {
    std::vector<HeaderKeyCache::Wanted> wanted;
    for (std::uint32_t uid = 1; uid <= count; ++uid) wanted.push_back({uid, size});
    std::size_t known = 0;
    for (const auto& found : cache.Find(folder, wanted)) known += found ? 1 : 0;
    return known;
}

void Fill(HeaderKeyCache& cache, const std::string& folder, std::uint32_t count) {
    std::vector<std::pair<std::uint32_t, std::shared_ptr<const HeaderKeys>>> keys;
    for (std::uint32_t uid = 1; uid <= count; ++uid) keys.emplace_back(uid, Keys(100, "a subject long enough to need the heap " + std::to_string(uid)));
    cache.Store(folder, keys);
}

TEST(HeaderKeyCacheTest, KeepsWhatFitsForTheContentItWasReadFrom) {
    const std::size_t entry = Keys(100, "a subject long enough to need the heap 1")->Bytes();
    HeaderKeyCache cache(entry * 100);
    Fill(cache, "a\n1", 40);
    // Another size under the same UID is other content (replaced by the administration): no hit.
    EXPECT_EQ(Known(cache, "a\n1", 40), 40u);
    EXPECT_EQ(Known(cache, "a\n1", 40, 101), 0u);
    EXPECT_EQ(Known(cache, "a\n2", 40), 0u);  // another UID validity is another folder
    cache.Store("a\n1", {{7, Keys(101, "new")}});
    EXPECT_EQ(Known(cache, "a\n1", 40, 101), 1u);

    Fill(cache, "b\n1", 40);
    EXPECT_EQ(Known(cache, "a\n1", 1), 1u);  // a used again: b is now the older
    Fill(cache, "c\n1", 40);                 // past the limit: b, the least recently used, goes
    EXPECT_EQ(Known(cache, "b\n1", 40), 0u);
    EXPECT_EQ(Known(cache, "a\n1", 40), 39u);  // all but the one read for other content
    EXPECT_EQ(Known(cache, "c\n1", 40), 40u);
    EXPECT_LE(cache.Bytes(), entry * 100);

    // One folder bigger than the whole cache: the others go, it keeps what fits.
    Fill(cache, "d\n1", 500);
    EXPECT_EQ(Known(cache, "a\n1", 40) + Known(cache, "c\n1", 40), 0u);
    const std::size_t kept = Known(cache, "d\n1", 500);
    EXPECT_GE(kept, 90u);
    EXPECT_LE(kept, 100u);
    EXPECT_LE(cache.Bytes(), entry * 100);

    // Sessions of many threads sort at once.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&cache, t] {
            for (int round = 0; round < 50; ++round) {
                const std::string folder = "f" + std::to_string((t + round) % 6) + "\n1";
                Fill(cache, folder, 30);
                Known(cache, folder, 30);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_LE(cache.Bytes(), entry * 100);
}

}  // namespace
}  // namespace pw::imap
