#pragma once
// The root of every library class and its two-phase life cycle.
//
// Objects are made by `make<T>(...)`, which runs `afterConstruction` on the complete object,
// and are owned by `unaPtr<T>`, whose deleter runs `beforeDestruction` while every virtual
// operation still reaches the most derived class, and only then destroys the object. That is
// what lets a thread stop its worker before the derived members the worker uses go away.
// Overrides call their base: `afterConstruction` base first, `beforeDestruction` base last.

#include <memory>
#include <stdexcept>
#include <utility>

namespace una {

class unaObject {
  public:
    unaObject() = default;
    virtual ~unaObject() = default;
    unaObject(const unaObject&) = delete;
    unaObject& operator=(const unaObject&) = delete;
    unaObject(unaObject&&) = delete;
    unaObject& operator=(unaObject&&) = delete;

    virtual void afterConstruction() {}
    virtual void beforeDestruction() {}
};

struct unaObjectDeleter {
    void operator()(unaObject* object) const noexcept {
        if (!object)
            return;
        try {
            object->beforeDestruction();
        } catch (...) {
        }
        delete object;
    }
};

template <class T>
using unaPtr = std::unique_ptr<T, unaObjectDeleter>;

// The library's silent abort: raised where a constructor cannot give a usable object (for
// example no free thread slot). `make` lets it through; nothing is left behind.
class unaAbort : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

template <class T, class... Args>
unaPtr<T> make(Args&&... args) {
    unaPtr<T> object(new T(std::forward<Args>(args)...));
    object->afterConstruction();
    return object;
}

// Destroys the object through its life cycle and clears the reference. Always true.
template <class T>
bool freeAndNil(unaPtr<T>& object) {
    object.reset();
    return true;
}

}  // namespace una
