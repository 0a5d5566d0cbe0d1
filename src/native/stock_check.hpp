// "Is this still the stock piece?", the one question every native shortcut
// asks before it skips a Python-level call (header only: each module gets
// its own copy).
//
// A piece is stock when the object's class resolves the name to the piece
// the module captured (no subclass overrides it, nobody replaced it on the
// class) and the instance does not shadow it in its own dictionary.
//
// The caching rule: a verdict about a class is kept while the class keeps its
// version tag, which the interpreter takes away whenever the class or one of
// its bases changes (the interpreter's own method cache follows the same
// tag). Instance dictionaries are looked at every time.
#pragma once

#include <nanobind/nanobind.h>

namespace tavix::stock {

namespace nb = nanobind;

// Borrowed: the attribute `name` as the class `type` resolves it (MRO order),
// or nullptr. Gives the class a version tag when it has none.
inline PyObject *class_lookup(PyTypeObject *type, PyObject *name) { return _PyType_Lookup(type, name); }

// Whether the class resolves `name` to `stock`.
inline bool class_uses_stock(PyTypeObject *type, PyObject *name, PyObject *stock) {
    return class_lookup(type, name) == stock;
}

// Whether `obj` reaches `stock` under `name`: its class resolves the name to
// `stock` and the instance does not shadow it.
inline bool uses_stock(PyObject *obj, PyObject *name, PyObject *stock) {
    if (!class_uses_stock(Py_TYPE(obj), name, stock))
        return false;
    PyObject **dict_ptr = _PyObject_GetDictPtr(obj);
    if (!dict_ptr || !*dict_ptr)
        return true;
    PyObject *shadow = PyDict_GetItemWithError(*dict_ptr, name);
    if (!shadow && PyErr_Occurred())
        throw nb::python_error();
    return shadow == nullptr;
}

// A type's version tag; 0 while it has none (then nothing about it is kept).
inline unsigned int type_tag(PyTypeObject *type) {
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

// A verdict about one class, kept while the class keeps its version tag.
class ClassVerdict {
public:
    // The kept verdict about `type`, or decide() (which may look anything
    // up on the class) kept until the class changes.
    template <typename Decide>
    bool of(PyTypeObject *type, Decide &&decide) {
        unsigned int tag = type_tag(type);
        if (tag != 0 && type == type_ && tag == tag_)
            return verdict_;
        bool verdict = decide();
        static PyObject *any_name = PyUnicode_InternFromString("__class__");
        class_lookup(type, any_name);  // gives the class a tag again
        type_ = type;
        tag_ = type_tag(type);
        verdict_ = verdict;
        return verdict;
    }

private:
    PyTypeObject *type_ = nullptr;
    unsigned int tag_ = 0;
    bool verdict_ = false;
};

}  // namespace tavix::stock
