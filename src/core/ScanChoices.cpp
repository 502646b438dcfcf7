#include "core/ScanChoices.h"

namespace brivo {

namespace {

template <typename Table>
std::string JoinNames(const Table& table) {
    std::string s;
    for (size_t i = 0; i < table.size(); ++i) {
        if (i > 0) s += i + 1 == table.size() ? " or " : ", ";
        s += table[i].CliName;
    }
    return s;
}

} // namespace

const TWhereKindInfo& WhereKindInfo(TScanWhere where) { return kWhereKinds[static_cast<size_t>(WhereKindIndex(where))]; }

int WhereKindIndex(TScanWhere where) {
    for (size_t i = 0; i < kWhereKinds.size(); ++i)
        if (kWhereKinds[i].Where == where) return static_cast<int>(i);
    return 0;
}

bool FindWhereByCliName(std::string_view name, TScanWhere& out) {
    for (const auto& k : kWhereKinds)
        if (name == k.CliName) {
            out = k.Where;
            return true;
        }
    return false;
}

bool FindWhatByCliName(std::string_view name, int& whatIndex) {
    for (size_t i = 0; i < kWhatCategories.size(); ++i)
        if (name == kWhatCategories[i].CliName) {
            whatIndex = static_cast<int>(i);
            return true;
        }
    return false;
}

std::string WhereCliNames() { return JoinNames(kWhereKinds); }
std::string WhatCliNames() { return JoinNames(kWhatCategories); }

std::string DefaultMaskText(int whatIndex) {
    if (whatIndex < 0 || whatIndex >= kWhatCount) return "*.*";
    return kWhatCategories[static_cast<size_t>(whatIndex)].DefaultMasks;
}

} // namespace brivo
