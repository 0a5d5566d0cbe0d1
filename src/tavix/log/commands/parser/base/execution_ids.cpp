#include "execution_walk.hpp"

namespace tavix::parser_base::scan {

IdSource::IdSource(nb::handle section, bool stock_uuid) {
    nb::object attributes = checked(PyObject_GenericGetDict(section.ptr(), nullptr));
    const char *name = stock_uuid ? "_execute_key" : "_execute_ids";
    nb::object fresh;
    if (stock_uuid) {
        unsigned char bytes[16];
        random_16(bytes);
        fresh = checked(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(bytes), 16));
    } else {
        fresh = nb::dict();
    }
    nb::object kept = nb::borrow(PyDict_SetDefault(attributes.ptr(), nb::str(name).ptr(), fresh.ptr()));
    if (!kept.is_valid())
        throw nb::python_error();
    bool usable = stock_uuid ? PyBytes_CheckExact(kept.ptr()) && PyBytes_GET_SIZE(kept.ptr()) == 16
                             : PyDict_Check(kept.ptr());
    if (!usable) {
        kept = fresh;
        nb::setattr(section, name, kept);
    }
    if (stock_uuid)
        std::memcpy(key, PyBytes_AS_STRING(kept.ptr()), 16);
    else
        ids = kept;
}

}  // namespace tavix::parser_base::scan
