#include "common/record.hpp"

#include <structmember.h>

#include "common/writer.hpp"

namespace kelvo {

namespace {

struct RecordInfo {
    PyTypeObject* type = nullptr;
    std::string qualname;  // "Name.__init__" in argument errors
    std::vector<RecordField> fields;
    std::vector<std::string> names;
    size_t required = 0;  // fields without a default come first
    std::vector<PyMemberDef> members;
    std::vector<PyMethodDef> methods;
    std::vector<PyGetSetDef> getsets;
    std::string full_name;
    std::string short_name;
    std::string doc;  // "Name(field, ..., field=default)\n--\n\n" and the type's own text
};

// The record types of this shared object (a few), registered at load. A
// load that failed and was run again registers its types anew; the earlier
// ones may be gone and a new type may have the same address, so the newest
// registration is the one that counts.
std::vector<RecordInfo*> g_records;

RecordInfo& info_of(PyTypeObject* type) {
    for (auto it = g_records.rbegin(); it != g_records.rend(); ++it)
        if ((*it)->type == type) return **it;
    // Unreachable: slots are only installed on registered types.
    Py_FatalError("kelvo record: unregistered type");
}

inline PyObject** slots_of(PyObject* self) {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + sizeof(PyObject));
}

PyObject* new_empty(PyTypeObject* type) { return type->tp_alloc(type, 0); }

// Fill the fields from positional/keyword arguments with defaults applied.
// Returns 0 on success, -1 with an exception set.
int fill(RecordInfo& info, PyObject* self, PyObject* args, PyObject* kwargs) {
    const size_t n = info.fields.size();
    PyObject** slots = slots_of(self);
    const Py_ssize_t npos = args ? PyTuple_GET_SIZE(args) : 0;
    if (static_cast<size_t>(npos) > n) {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd were given",
                     info.qualname.c_str(), info.required + 1, n + 1, npos + 1);
        return -1;
    }
    for (Py_ssize_t i = 0; i < npos; ++i) slots[i] = Py_NewRef(PyTuple_GET_ITEM(args, i));
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            size_t idx = n;
            if (PyUnicode_Check(key))
                for (size_t i = 0; i < n; ++i)
                    if (PyUnicode_EqualToUTF8(key, info.names[i].c_str())) { idx = i; break; }
            if (idx == n) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                             info.qualname.c_str(), key);
                return -1;
            }
            if (slots[idx]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                             info.qualname.c_str(), info.names[idx].c_str());
                return -1;
            }
            slots[idx] = Py_NewRef(value);
        }
    }
    std::vector<size_t> missing;
    for (size_t i = 0; i < n; ++i) {
        if (slots[i]) continue;
        const RecordField& f = info.fields[i];
        if (f.default_factory.is_valid()) {
            slots[i] = PyObject_CallNoArgs(f.default_factory.ptr());
            if (!slots[i]) return -1;
        } else if (f.default_value.is_valid()) {
            slots[i] = Py_NewRef(f.default_value.ptr());
        } else {
            missing.push_back(i);
        }
    }
    if (!missing.empty()) {
        std::string list;
        for (size_t k = 0; k < missing.size(); ++k) {
            if (k) list += (k + 1 == missing.size()) ? (missing.size() > 2 ? ", and " : " and ") : ", ";
            list += "'" + info.names[missing[k]] + "'";
        }
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                     info.qualname.c_str(), missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
        return -1;
    }
    return 0;
}

PyObject* record_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    RecordInfo& info = info_of(type);
    PyObject* self = new_empty(type);
    if (!self) return nullptr;
    if (slot_guard(-1, [&] { return fill(info, self, args, kwargs); }) < 0) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

int record_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const size_t n = info_of(Py_TYPE(self)).fields.size();
    PyObject** slots = slots_of(self);
    for (size_t i = 0; i < n; ++i) Py_VISIT(slots[i]);
    return 0;
}

int record_clear(PyObject* self) {
    const size_t n = info_of(Py_TYPE(self)).fields.size();
    PyObject** slots = slots_of(self);
    for (size_t i = 0; i < n; ++i) Py_CLEAR(slots[i]);
    return 0;
}

void record_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    record_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The fields as a tuple, held; raises as record_get does for a cleared field.
nb::object fields_tuple(PyObject* self) {
    const size_t n = info_of(Py_TYPE(self)).fields.size();
    nb::object t = steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    for (size_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(t.ptr(), static_cast<Py_ssize_t>(i), record_get(self, i).release().ptr());
    return t;
}

PyObject* record_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    // Compare as tuples of fields do, so that a field whose __eq__ runs
    // Python code sees the same calls as with a frozen dataclass.
    return slot_guard<PyObject*>(nullptr, [&] {
        nb::object ta = fields_tuple(a), tb = fields_tuple(b);
        return PyObject_RichCompare(ta.ptr(), tb.ptr(), op);
    });
}

Py_hash_t record_hash(PyObject* self) {
    return slot_guard<Py_hash_t>(-1, [&] { return PyObject_Hash(fields_tuple(self).ptr()); });
}

PyObject* record_repr(PyObject* self) {
    RecordInfo& info = info_of(Py_TYPE(self));
    int rec = Py_ReprEnter(self);
    if (rec != 0) return rec > 0 ? PyUnicode_FromString("...") : nullptr;
    PyObject* out = slot_guard<PyObject*>(nullptr, [&] {
        TextWriter w;
        w.utf8(info.short_name).ascii("(");
        PyObject** slots = slots_of(self);
        for (size_t i = 0; i < info.fields.size(); ++i) {
            if (i) w.ascii(", ");
            w.utf8(info.names[i]).ascii("=");
            if (slots[i]) w.repr(slots[i]);
            else w.ascii("<cleared>");
        }
        return w.ascii(")").finish().release().ptr();
    });
    Py_ReprLeave(self);
    return out;
}

PyObject* record_replace(PyObject* self, PyObject* args, PyObject* kwargs) {
    RecordInfo& info = info_of(Py_TYPE(self));
    if (PyTuple_GET_SIZE(args) != 0) {
        PyErr_Format(PyExc_TypeError, "%s.__replace__() takes 1 positional argument but %zd were given",
                     info.short_name.c_str(), PyTuple_GET_SIZE(args) + 1);
        return nullptr;
    }
    return slot_guard<PyObject*>(nullptr, [&] {
        nb::object t = fields_tuple(self);
        nb::object merged = steal(PyDict_New());
        for (size_t i = 0; i < info.fields.size(); ++i)
            if (PyDict_SetItemString(merged.ptr(), info.names[i].c_str(),
                                     PyTuple_GET_ITEM(t.ptr(), static_cast<Py_ssize_t>(i))) < 0)
                raise_current();
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (kwargs && PyDict_Next(kwargs, &pos, &key, &value)) {
            const int known = PyDict_Contains(merged.ptr(), key);
            if (known < 0) raise_current();
            if (!known)
                raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", info.qualname.c_str(), key);
            if (PyDict_SetItem(merged.ptr(), key, value) < 0) raise_current();
        }
        nb::object empty = steal(PyTuple_New(0));
        return record_tp_new(Py_TYPE(self), empty.ptr(), merged.ptr());
    });
}

PyObject* record_reduce(PyObject* self, PyObject*) {
    return slot_guard<PyObject*>(nullptr, [&] {
        return Py_BuildValue("(ON)", reinterpret_cast<PyObject*>(Py_TYPE(self)), fields_tuple(self).release().ptr());
    });
}

// The constructor's text signature, which inspect.signature, help() and
// pydoc read off the type: the fields in order, each default as its repr (a
// literal for every default here; a default made anew for each record as
// the repr of one made now, "{}" for a dict).
std::string signature_doc(const RecordInfo& info, const char* doc) {
    std::string out = info.short_name + "(";
    for (size_t i = 0; i < info.fields.size(); ++i) {
        const RecordField& f = info.fields[i];
        if (i) out += ", ";
        out += info.names[i];
        nb::object value = f.default_value.is_valid()     ? f.default_value
                           : f.default_factory.is_valid() ? steal(PyObject_CallNoArgs(f.default_factory.ptr()))
                                                          : nb::object();
        if (!value.is_valid()) continue;
        nb::object r = steal(PyObject_Repr(value.ptr()));
        Py_ssize_t n;
        const char* p = PyUnicode_AsUTF8AndSize(r.ptr(), &n);
        if (!p) raise_current();
        out += "=";
        out.append(p, static_cast<size_t>(n));
    }
    out += ")\n--\n\n";
    if (doc) out += doc;
    return out;
}

// The fields in declaration order, all given.
template <class Values>
nb::object make_filled(PyTypeObject* type, const Values& values) {
    if (values.size() != info_of(type).fields.size()) raise(PyExc_SystemError, "record arity");
    PyObject* self = new_empty(type);
    if (!self) raise_current();
    PyObject** slots = slots_of(self);
    size_t i = 0;
    for (nb::handle v : values) slots[i++] = Py_NewRef(v.ptr());
    return nb::steal(self);
}

}  // namespace

nb::object record_get(PyObject* rec, size_t i) {
    PyObject* v = record_field(rec, i);
    if (!v) raise_no_attribute(rec, info_of(Py_TYPE(rec)).names[i].c_str());
    return borrow(v);
}

PyTypeObject* make_record_type(nb::module_& m, RecordSpec shape) {
    auto* info = new RecordInfo();  // lives as long as the process
    info->full_name = std::string(shape.module) + "." + shape.name;
    info->short_name = shape.name;
    info->qualname = std::string(shape.name) + ".__init__";
    info->fields = std::move(shape.fields);
    for (const RecordField& f : info->fields) {
        info->names.emplace_back(f.name);
        if (!f.default_value.is_valid() && !f.default_factory.is_valid()) ++info->required;
    }
    for (size_t i = 0; i < info->fields.size(); ++i)
        info->members.push_back(PyMemberDef{info->names[i].c_str(), Py_T_OBJECT_EX,
                                            static_cast<Py_ssize_t>(sizeof(PyObject) + i * sizeof(PyObject*)),
                                            Py_READONLY, nullptr});
    info->members.push_back(PyMemberDef{});
    info->methods.push_back(PyMethodDef{"__replace__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(record_replace)),
                                        METH_VARARGS | METH_KEYWORDS, "Return a copy with the given fields replaced."});
    info->methods.push_back(PyMethodDef{"__reduce__", record_reduce, METH_NOARGS, nullptr});
    if (shape.methods)
        for (PyMethodDef* d = shape.methods; d->ml_name; ++d) info->methods.push_back(*d);
    info->methods.push_back(PyMethodDef{});
    if (shape.getsets)
        for (PyGetSetDef* d = shape.getsets; d->name; ++d) info->getsets.push_back(*d);
    info->getsets.push_back(PyGetSetDef{});

    std::vector<PyType_Slot> slots = {
        {Py_tp_new, reinterpret_cast<void*>(record_tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(record_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(record_clear)},
        {Py_tp_richcompare, reinterpret_cast<void*>(record_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(record_hash)},
        {Py_tp_repr, reinterpret_cast<void*>(record_repr)},
        {Py_tp_members, info->members.data()},
        {Py_tp_methods, info->methods.data()},
        {Py_tp_getset, info->getsets.data()},
    };
    info->doc = signature_doc(*info, shape.doc);
    slots.push_back({Py_tp_doc, const_cast<char*>(info->doc.c_str())});
    slots.push_back({0, nullptr});
    PyType_Spec tspec{info->full_name.c_str(),
                      static_cast<int>(sizeof(PyObject) + info->fields.size() * sizeof(PyObject*)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots.data()};
    PyObject* type = PyType_FromSpec(&tspec);
    if (!type) raise_current();
    info->type = reinterpret_cast<PyTypeObject*>(type);
    g_records.push_back(info);

    nb::object match_args = steal(PyTuple_New(static_cast<Py_ssize_t>(info->names.size())));
    for (size_t i = 0; i < info->names.size(); ++i)
        PyTuple_SET_ITEM(match_args.ptr(), static_cast<Py_ssize_t>(i), steal(PyUnicode_FromString(info->names[i].c_str())).release().ptr());
    if (PyObject_SetAttrString(type, "__match_args__", match_args.ptr()) < 0) raise_current();
    info->type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(info->type);
    m.attr(shape.name) = nb::steal(type);
    return info->type;
}

nb::object record_make(PyTypeObject* type, std::initializer_list<nb::handle> values) {
    return make_filled(type, values);
}

nb::object record_make(PyTypeObject* type, const std::vector<nb::object>& values) {
    return make_filled(type, values);
}

}  // namespace kelvo
