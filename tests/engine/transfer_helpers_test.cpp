// How the transfer phase cuts its list into chunks for its connections.
#include <gtest/gtest.h>

#include <vector>

#include "engine/extra_connections.h"

namespace kestrum {
namespace {

// The chunks of a list of files in one directory: one for a single
// connection; else shrinking toward the end of the list, down to the larger
// of fewest and sqrt(2 x files per connection), the last one what is left.
TEST(TransferHelpers, ChunkSizes) {
    const struct {
        size_t total, connections, fewest;
        std::vector<size_t> sizes;
    } cases[] = {
        {10, 1, 6, {10}},
        {3, 2, 6, {3}},
        {12, 2, 6, {6, 6}},
        {40, 3, 6, {14, 9, 6, 6, 5}},
        {100, 4, 6, {25, 19, 14, 11, 8, 8, 8, 7}},
        {8, 4, 1, {2, 2, 2, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.total << " files, " << c.connections << " connections");
        std::vector<size_t> sizes;
        for (size_t left = c.total; left > 0;) {
            const size_t size = NextChunkSize(c.total, left, c.connections, c.fewest);
            ASSERT_GE(size, 1u);
            ASSERT_LE(size, left);
            sizes.push_back(size);
            left -= size;
        }
        EXPECT_EQ(sizes, c.sizes);
    }
}

}  // namespace
}  // namespace kestrum
