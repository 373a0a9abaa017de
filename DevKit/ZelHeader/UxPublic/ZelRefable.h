// Reference-counted host objects and counted references to them.
#pragma once

#include <atomic>
#include <utility>

#include "UxDefs.h"

// Names the holder of a reference. Opaque: the count does not depend on it.
class ZelBaseRef;

// An object shared by counted references. It is created with no reference; the
// release of the last reference taken destroys it. Delete() destroys it at once.
class UX_EXPORT ZelRefable {
public:
    ZelRefable() = default;
    ZelRefable(const ZelRefable&) = delete;
    ZelRefable& operator=(const ZelRefable&) = delete;

    virtual void AddReference(ZelBaseRef* owner = nullptr) const;
    virtual void RemReference(ZelBaseRef* owner = nullptr) const;
    virtual ~ZelRefable();
    virtual void Delete();

    // Destroys `object` through its virtual destructor; does nothing for null.
    static void Delete(ZelRefable* object)
    {
        if (object)
            object->Delete();
    }

    int32 CountReferences() const { return mReferences.load(std::memory_order_acquire); }

private:
    mutable std::atomic<int32> mReferences{0};
};

// A counted reference: holds one reference to its object for as long as it lives.
template <class T>
class ZelCRef {
public:
    ZelCRef() = default;
    explicit ZelCRef(T* object) : mObject(object)
    {
        if (mObject)
            mObject->AddReference();
    }
    ZelCRef(const ZelCRef& other) : ZelCRef(other.mObject) {}
    ZelCRef(ZelCRef&& other) noexcept : mObject(std::exchange(other.mObject, nullptr)) {}
    ZelCRef& operator=(ZelCRef other) noexcept
    {
        std::swap(mObject, other.mObject);
        return *this;
    }
    ~ZelCRef()
    {
        if (mObject)
            mObject->RemReference();
    }

    T* Get() const { return mObject; }
    T* operator->() const { return mObject; }
    T& operator*() const { return *mObject; }
    explicit operator bool() const { return mObject != nullptr; }

private:
    T* mObject = nullptr;
};
