#include "security_center/com/ComApartment.h"
#include "security_center/com/ComPointer.h"

#include <gtest/gtest.h>
#include <unknwn.h>

#include <cstring>
#include <new>
#include <thread>
#include <utility>

namespace {

using Tessaro::Ravelin::ComApartment;
using Tessaro::Ravelin::ComPointer;
using Tessaro::Ravelin::Variant;

// An interface that counts its references, as a COM object does.
class Counted : public IUnknown {
public:
    ULONG references = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override
    {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
};

// A held reference is given back exactly once: when the holder is replaced, asked to fill in
// another, or gone; never when it has been moved on.
TEST(ComPointerTest, EachReferenceIsReleasedOnce)
{
    Counted first;
    Counted second;
    {
        ComPointer<IUnknown> holder(&first);
        ComPointer<IUnknown> other(&second);
        other = std::move(holder);
        EXPECT_EQ(second.references, 0u) << "the replaced one";
        EXPECT_EQ(first.references, 1u) << "moved, not released";
        EXPECT_FALSE(holder);  // NOLINT(bugprone-use-after-move): what a move leaves behind is checked
        ComPointer<IUnknown> moved(std::move(other));
        EXPECT_EQ(first.references, 1u);
        *moved.Out() = &second;
        EXPECT_EQ(first.references, 0u) << "released before its place is filled in";
        second.references = 1;
    }
    EXPECT_EQ(second.references, 0u) << "released when the holder is gone";
}

// An apartment entered is left again, so that the thread is as it was found: an entry inside
// another is counted (S_FALSE) and left too, and a later one is the first again.
// A value starts empty whatever its memory held, so that its clearing never reads a type it was not
// given (a call that fails leaves it as it was).
TEST(ComPointerTest, VariantStartsEmpty)
{
    alignas(Variant) unsigned char storage[sizeof(Variant)];
    std::memset(storage, 0xFF, sizeof(storage));
    auto* value = new (storage) Variant;
    EXPECT_EQ((*value)->vt, VT_EMPTY);
    value->~Variant();
}

TEST(ComApartmentTest, EveryEntryIsLeftAgain)
{
    std::thread([] {
        {
            const ComApartment outer;
            EXPECT_EQ(outer.Result(), S_OK);
            const ComApartment inner;
            EXPECT_EQ(inner.Result(), S_FALSE);
        }
        const ComApartment again;
        EXPECT_EQ(again.Result(), S_OK) << "the thread was left as it was found";
    }).join();
}

}  // namespace
