// A growable array, as the host hands it to filters.
#pragma once

#include <cstddef>
#include <vector>

#include "UxDefs.h"

template <class T>
class ZelVector {
public:
    void AddItem(const T& item) { mItems.push_back(item); }
    int32 CountItems() const { return static_cast<int32>(mItems.size()); }
    const T& ItemAt(int32 index) const { return mItems.at(static_cast<std::size_t>(index)); }
    void MakeEmpty() { mItems.clear(); }

private:
    std::vector<T> mItems;
};
