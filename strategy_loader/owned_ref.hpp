// Owning reference to a Python object.
//
// Rules of use throughout the module:
//   * a function that returns a new reference returns OwnedRef;
//   * a raw PyObject* parameter is borrowed for the duration of the call;
//   * error paths are early returns; destructors release what was made;
//   * a borrowed reference (a dict or list item, an attribute of a C
//     struct) never lives across a call that can run Python code: attribute
//     access, comparison, hashing, any call, and any allocation, since an
//     allocation can start the garbage collector and its finalizers. Whatever
//     must outlive such a call is taken with OwnedRef::borrow first, because
//     that code may drop the last other reference (a lazy module that
//     replaces its own sys.modules entry does exactly this).
// The wrapper is one pointer wide and has no virtual methods, so it costs
// nothing over hand-written Py_XDECREF calls.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace strategy_loader {

class OwnedRef {
public:
    OwnedRef() noexcept = default;
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = ptr_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(ptr_); }

    // Takes over a new reference (possibly null, as returned on error).
    static OwnedRef steal(PyObject* obj) noexcept { return OwnedRef(obj); }
    // Takes a new reference to a borrowed object.
    static OwnedRef borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return OwnedRef(obj);
    }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    // Hands the reference to the caller (a C API "steals" slot or a return).
    [[nodiscard]] PyObject* relinquish_ownership() noexcept {
        PyObject* obj = ptr_;
        ptr_ = nullptr;
        return obj;
    }

    void reset() noexcept {
        PyObject* old = ptr_;
        ptr_ = nullptr;
        Py_XDECREF(old);
    }

private:
    explicit OwnedRef(PyObject* obj) noexcept : ptr_(obj) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace strategy_loader
