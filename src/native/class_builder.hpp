// ClassBuilder: defines a Python class whose bases are ordinary Python classes
// (logging.Formatter, enum.Enum, collections.UserDict, aiohttp's Application,
// or just object) and whose methods, properties, static and class methods are
// C++ functions.
//
// The class is made exactly as a class statement would make it: the bases are
// resolved, the metaclass is chosen and its __prepare__ namespace is filled
// item by item (so enum.Enum sees its members), then the metaclass is called.
// Methods are nanobind method objects, which bind like Python functions, so
// users may subclass the result in Python and override anything.
//
//     nb::object cls = tavix::ClassBuilder(module, "ScreenFormatter", {base})
//         .attr("TIMESTAMP_FORMAT", nb::str("%Y-%m-%dT%H:%M:%S"))
//         .method("__init__", &screen_formatter_init)
//         .property("coloured", &get_coloured, &set_coloured)
//         .build();
//
// A C++ method receives `self` as its first parameter (nb::handle or
// nb::object); static methods receive only their arguments; class methods
// receive the class first.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace tavix {

namespace nb = nanobind;

class ClassBuilder {
public:
    ClassBuilder(nb::handle module, const char *name, std::initializer_list<nb::handle> bases,
                 nb::dict class_keywords = nb::dict())
        : module_(nb::borrow(module)), name_(name), keywords_(std::move(class_keywords)) {
        nb::list base_list;
        for (nb::handle base : bases)
            base_list.append(base);
        bases_ = nb::tuple(base_list);
        attr("__module__", module_.attr("__name__"));
        attr("__qualname__", nb::str(name));
    }

    // A class attribute present when the class is created (enum members,
    // templates, constants).
    ClassBuilder &attr(const char *name, nb::handle value) {
        namespace_.emplace_back(name, nb::borrow(value));
        return *this;
    }

    ClassBuilder &doc(const char *text) { return attr("__doc__", nb::str(text)); }

    // An instance method; `extra` takes nanobind annotations (nb::arg, docstrings).
    template <typename Func, typename... Extra>
    ClassBuilder &method(const char *name, Func &&f, const Extra &...extra) {
        return attr(name, nb::cpp_function(std::forward<Func>(f), nb::name(name), nb::is_method(),
                                           extra...));
    }

    template <typename Func, typename... Extra>
    ClassBuilder &static_method(const char *name, Func &&f, const Extra &...extra) {
        nb::object function = nb::cpp_function(std::forward<Func>(f), nb::name(name), extra...);
        return attr(name, builtin("staticmethod")(function));
    }

    template <typename Func, typename... Extra>
    ClassBuilder &class_method(const char *name, Func &&f, const Extra &...extra) {
        nb::object function = nb::cpp_function(std::forward<Func>(f), nb::name(name), extra...);
        return attr(name, builtin("classmethod")(function));
    }

    // A read-only property: getter(self).
    template <typename Getter>
    ClassBuilder &property(const char *name, Getter &&getter, const char *doc = nullptr) {
        nb::object fget = nb::cpp_function(std::forward<Getter>(getter), nb::name(name), nb::is_method());
        return attr(name, builtin("property")(fget, nb::none(), nb::none(), doc_or_none(doc)));
    }

    // A read-write property: getter(self), setter(self, value). The setter
    // is given None like any other value.
    template <typename Getter, typename Setter>
    ClassBuilder &property(const char *name, Getter &&getter, Setter &&setter,
                           const char *doc = nullptr) {
        // As methods, so that their signatures (and the type stubs) show self.
        nb::object fget = nb::cpp_function(std::forward<Getter>(getter), nb::name(name), nb::is_method());
        nb::object fset = nb::cpp_function(std::forward<Setter>(setter), nb::name(name),
                                           nb::is_method(), nb::arg("value").none());
        return attr(name, builtin("property")(fget, fset, nb::none(), doc_or_none(doc)));
    }

    // Creates the class, stores it on the module under its name and returns it.
    nb::object build() {
        nb::module_ types = nb::module_::import_("types");
        nb::object bases = types.attr("resolve_bases")(bases_);
        nb::tuple prepared = nb::cast<nb::tuple>(
            types.attr("prepare_class")(nb::str(name_.c_str()), bases, keywords_));
        nb::object metaclass = prepared[0], ns = prepared[1];
        nb::dict keywords = nb::cast<nb::dict>(prepared[2]);
        // The bases as given, as a class statement records them; without it
        // the attribute would be inherited from a generic base (an aiohttp
        // Application's MutableMapping[...]) and tools reading it (the stub
        // generator) would name the wrong bases.
        ns["__orig_bases__"] = bases_;
        for (auto &[key, value] : namespace_)
            ns[key.c_str()] = value;  // item by item: __prepare__ namespaces watch assignments
        nb::object cls = metaclass(nb::str(name_.c_str()), bases, ns, **keywords);
        module_.attr(name_.c_str()) = cls;
        return cls;
    }

private:
    static nb::object builtin(const char *name) {
        return nb::module_::import_("builtins").attr(name);
    }
    static nb::object doc_or_none(const char *doc) {
        return doc ? nb::object(nb::str(doc)) : nb::object(nb::none());
    }

    nb::object module_;
    std::string name_;
    nb::tuple bases_;
    nb::dict keywords_;
    std::vector<std::pair<std::string, nb::object>> namespace_;
};

// super(cls, self): the next class after `cls` in the method resolution
// order of `self`, for C++ methods that extend a base method.
inline nb::object super_of(nb::handle cls, nb::handle self) {
    return nb::module_::import_("builtins").attr("super")(cls, self);
}

}  // namespace tavix
