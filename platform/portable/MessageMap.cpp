#include "MessageMap.h"

const AFX_MSGMAP CCmdTarget::messageMap { nullptr, {} };

bool CCmdTarget::dispatch(
    std::uint32_t message, std::uint32_t code, std::uint32_t id, std::uintptr_t param)
{
    for (const AFX_MSGMAP* map = getMessageMap(); map; map = map->base) {
        for (const AFX_MSGMAP_ENTRY& entry : map->entries) {
            if (entry.message == message && entry.code == code && (entry.anyId || entry.id == id)) {
                entry.invoke(*this, param);
                return true;
            }
        }
    }
    return false;
}
