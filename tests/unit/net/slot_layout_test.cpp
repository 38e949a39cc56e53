// Where the slots' buffers lie in the memory region.
#include <gtest/gtest.h>

#include <cstdlib>

#include "net/server.h"

namespace {

constexpr uint64_t mib = 1024 * 1024;

TEST(SlotLayout, BuffersFillNineteenUnitsInTheirOrder)
{
    G_SOCKET* server = new G_SOCKET{};
    server->cw_connections = slot_count;
    server->path_buffer_length = path_buffer_length;
    server->packet_length_rw[0] = receive_buffer_length;
    server->packet_length_rw[1] = send_buffer_length;
    server->region.unit_size = 2 * mib;
    ASSERT_EQ(region_units_needed(server), 19u);

    uint64_t size = 19 * 2 * mib;
    char* base = static_cast<char*>(std::aligned_alloc(2 * mib, size));
    ASSERT_NE(base, nullptr);
    server->region.base = base;
    carve_slot_buffers(server);

    for (uint32_t i = 0; i < slot_count; ++i) {
        const connection_slot& slot = server->slots[i];
        EXPECT_EQ(slot.channel.send_base, base + i * send_buffer_length);
        EXPECT_EQ(slot.channel.slot_buffer, slot.channel.send_base);
        EXPECT_EQ(slot.channel.slot_buffer_size, send_buffer_length / 2);
        EXPECT_EQ(slot.receive_begin, base + 32 * mib + i * receive_buffer_length);
        EXPECT_EQ(slot.receive_end, slot.receive_begin + receive_buffer_length);
        EXPECT_EQ(slot.tls.p_recv, slot.receive_begin);
        EXPECT_EQ(slot.tls.p_recv_size, receive_buffer_length);
        EXPECT_EQ(reinterpret_cast<char*>(slot.path_buffer),
                  base + 36 * mib + i * 2 * path_buffer_length);
        EXPECT_EQ(slot.path_capacity, path_buffer_length);
    }
    const connection_slot& last = server->slots[slot_count - 1];
    char* path_end = reinterpret_cast<char*>(last.path_buffer + path_buffer_length);
    EXPECT_EQ(base + size - path_end, (ptrdiff_t)mib);

    std::free(base);
    delete server;
}

TEST(SlotLayout, OversizedBuffersShrinkToOneUnit)
{
    G_SOCKET* server = new G_SOCKET{};
    server->cw_connections = slot_count;
    server->path_buffer_length = path_buffer_length;
    server->region.unit_size = 2 * mib;
    // Zero and oversized lengths both count as one unit each.
    server->packet_length_rw[0] = 0;
    server->packet_length_rw[1] = 64 * mib;
    EXPECT_EQ(region_units_needed(server), (2 * mib + 2 * mib + 16384) * slot_count / (2 * mib) + 1);
    delete server;
}

} // namespace
