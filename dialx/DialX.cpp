// The DIALX_* calls of libDIALXNT.so over the pool of Pool.h. Nothing may leave a C
// call as an exception: an allocation failure becomes a communication error.
#include "dialx/PoolState.h"

namespace {

using dialx::detail::Connection;

template <typename Call>
int32_t Guarded(Call call)
{
    try {
        return call();
    } catch (...) {
        return DIALX_COMM_ERROR;
    }
}

template <typename Use>
int32_t WithConnection(uint16_t connRef, Use use)
{
    return Guarded([&]() -> int32_t {
        std::shared_ptr<Connection> connection;
        int32_t rc = dialx::detail::Find(connRef, &connection);
        return rc != DIALX_OK ? rc : use(*connection);
    });
}

} // namespace

extern "C" {

DIALX_API int32_t DIALX_Connect(uint16_t dialRef, uint32_t timeout, uint16_t *connRef)
{
    return Guarded([&] { return dialx::detail::Connect(dialRef, timeout, connRef); });
}

DIALX_API int32_t DIALX_Disconnect(uint16_t connRef)
{
    return Guarded([&] { return dialx::detail::Disconnect(connRef); });
}

DIALX_API int32_t DIALX_Send(uint16_t connRef, const void *bytes, uint32_t count)
{
    return WithConnection(connRef, [&](Connection &connection) {
        return connection.Send(static_cast<const uint8_t *>(bytes), count);
    });
}

DIALX_API int32_t DIALX_Flush(uint16_t connRef)
{
    return WithConnection(connRef, [](Connection &connection) { return connection.Flush(); });
}

// Hands out exactly one byte whatever `one` asks for: the caller's buffer is known to
// hold only that much.
DIALX_API int32_t DIALX_Receive(uint16_t connRef, void *buffer, uint32_t one, uint32_t *received)
{
    if (received != nullptr)
        *received = 0;
    return WithConnection(connRef, [&](Connection &connection) -> int32_t {
        if (buffer == nullptr || received == nullptr || one == 0)
            return DIALX_COMM_ERROR;
        int32_t rc = connection.Receive(static_cast<uint8_t *>(buffer));
        if (rc == DIALX_OK)
            *received = 1;
        return rc;
    });
}

DIALX_API int32_t DIALX_Timeout(uint16_t connRef, uint32_t timeout)
{
    return WithConnection(connRef, [&](Connection &connection) {
        connection.SetTimeout(timeout);
        return int32_t{DIALX_OK};
    });
}

}
