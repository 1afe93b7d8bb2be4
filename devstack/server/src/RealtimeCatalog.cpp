#include "RealtimeCatalog.h"

namespace ostral::devstack {

const RealtimeColumn* RealtimeTable::column(std::string_view columnName) const {
    for (const auto& candidate : columns) {
        if (candidate.name == columnName) {
            return &candidate;
        }
    }
    return nullptr;
}

const RealtimeTable* RealtimeCatalog::find(std::string_view schema, std::string_view table) const {
    for (const auto& candidate : tables) {
        if (candidate.schema == schema && candidate.name == table) {
            return &candidate;
        }
    }
    return nullptr;
}

bool RealtimeCatalog::hasSchema(std::string_view schema) const {
    for (const auto& candidate : tables) {
        if (candidate.schema == schema) {
            return true;
        }
    }
    return false;
}

} // namespace ostral::devstack
