#include "adapter.hpp"

#include <cstring>

namespace {

constexpr unsigned char handshake_byte = 0x00;
constexpr char handshake_reply[] = "BBIO1";
constexpr int mode_reply_size = 4;

// One byte out, a short pause for the adapter, and one bounded read; nothing to say yet.
AdapterExchange exchange(PortHandle port, unsigned char byte, unsigned char* reply,
                         int reply_size) {
    AdapterExchange seen{};
    seen.sent = serial_write(port, &byte, 1) == 1;
    adapter_pause();
    seen.count = serial_read(port, reply, reply_size);
    seen.note = adapter_note_none;
    return seen;
}

} // namespace

const char* adapter_mode_name(int mode) {
    if (mode < 0 || mode >= static_cast<int>(mode_names.size())) return nullptr;
    return mode_names[static_cast<std::size_t>(mode)];
}

AdapterHandshake adapter_enter_binary(const AdapterLink& link) {
    AdapterHandshake handshake{};
    handshake.result = -1;
    if (link.port == port_not_open) {
        handshake.port_missing = true;
        return handshake;
    }

    unsigned char reply[reply_area_size] = {};
    for (int attempt = 1; attempt <= handshake_attempts; ++attempt) {
        // Only the first byte is cleared between attempts, so after a short read the bytes
        // beyond it are still those of an earlier reply, and the comparison below sees them.
        reply[0] = 0;
        AdapterExchange& seen = handshake.exchanges[static_cast<std::size_t>(handshake.attempts++)];
        seen = exchange(link.port, handshake_byte, reply, handshake_reply_size);

        if (link.modem) {
            seen.note = adapter_note_modem_count;
            handshake.result = seen.count;
            return handshake;
        }
        if (seen.count == handshake_reply_size || attempt <= handshake_lenient_attempts) {
            if (std::memcmp(reply, handshake_reply, handshake_reply_size) == 0) {
                handshake.result = 0;
                return handshake;
            }
            handshake.result = seen.count;
        } else {
            seen.note = adapter_note_wrong_reply;
            handshake.result = -1;
        }
    }
    handshake.gave_up = true;
    return handshake;
}

AdapterSwitch adapter_switch_mode(const AdapterLink& link, int mode) {
    unsigned char reply[reply_area_size] = {};
    AdapterSwitch result{-1, {}};
    result.exchange = exchange(link.port, static_cast<unsigned char>(mode), reply, mode_reply_size);
    // Mode 0 is bit-bang itself: the adapter answers its byte as a handshake.
    if (mode < 1 || adapter_mode_name(mode) == nullptr) {
        result.exchange.note = adapter_note_wrong_reply;
        return result;
    }
    const std::string expected = adapter_mode_name(mode) + std::string("1");
    if (result.exchange.count == mode_reply_size &&
        std::memcmp(reply, expected.data(), mode_reply_size) == 0)
        result.result = mode;
    return result;
}

AdapterCommand adapter_command(const AdapterLink& link, unsigned char byte) {
    AdapterCommand command{-1, {}, 0};
    command.exchange = exchange(link.port, byte, &command.reply, 1);
    if (command.reply == adapter_ack) {
        command.result = 0;
    } else if (link.modem) {
        // A modem cannot acknowledge: whatever it says passes, and is shown.
        command.result = 0;
        command.exchange.note = adapter_note_modem_reply;
    } else {
        command.exchange.note = adapter_note_refused;
    }
    return command;
}

AdapterModemReply adapter_query_modem(const AdapterLink& link, const char* query) {
    unsigned char area[modem_reply_area_size] = {};
    AdapterModemReply reply{};
    const int length = static_cast<int>(std::strlen(query));
    reply.sent =
        serial_write(link.port, reinterpret_cast<const unsigned char*>(query), length) == length;
    adapter_pause();
    const int count = serial_read(link.port, area, modem_reply_area_size);
    // At most one byte short of the area, as the reply is shown as a terminated text.
    const int limit = count < modem_reply_area_size ? count : modem_reply_area_size - 1;
    int shown = 0;
    while (shown < limit && area[shown] != 0) ++shown;
    reply.text.assign(reinterpret_cast<const char*>(area), static_cast<std::size_t>(shown));
    return reply;
}
