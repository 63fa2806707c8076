#include "layout.hpp"

#include <atomic>

#include "arguments.hpp"
#include "call_frame.hpp"
#include "errors.hpp"
#include "heap_type.hpp"
#include "native_object.hpp"
#include "sequence.hpp"
#include "text_format.hpp"
#include "values.hpp"

namespace deziro::binding::layout {

namespace {

struct LayoutObject {
  PyObject_HEAD LayoutData* data;
};

LayoutObject* as_layout(PyObject* object) { return reinterpret_cast<LayoutObject*>(object); }

// Layout ids are never reused, so a cached class mapping belongs to one
// Layout object.
std::atomic<std::uint64_t> next_layout_id{1};

std::nullopt_t invalid_kind(std::string_view message) {
  new_dazi_error(ErrorKind::InvalidArgument, message);
  return std::nullopt;
}

constexpr std::string_view kKindShape = "a field's kind is a name, a list of a kind or a layout";

struct PlainKindName {
  std::string_view name;
  LayoutKind::Variant variant;
};

constexpr PlainKindName kPlainKinds[] = {
    {"bool", LayoutKind::Variant::Bool},   {"int", LayoutKind::Variant::Int},
    {"float", LayoutKind::Variant::Float}, {"str", LayoutKind::Variant::Str},
    {"bytes", LayoutKind::Variant::Bytes}, {"key", LayoutKind::Variant::Key},
};

// Visits every Python object a kind holds (nested layouts, also inside lists).
int visit_kind(const LayoutKind& kind, visitproc visit, void* arg) {
  if (kind.layout) Py_VISIT(kind.layout.get());
  if (kind.element) return visit_kind(*kind.element, visit, arg);
  return 0;
}

int layout_traverse(PyObject* self, visitproc visit, void* arg) {
  // Instances of heap types keep their type alive.
  Py_VISIT(Py_TYPE(self));
  const LayoutData* data = as_layout(self)->data;
  if (data == nullptr) return 0;
  Py_VISIT(data->cls.get());
  for (const LayoutField& field : data->fields) {
    if (int result = visit_kind(field.kind, visit, arg)) return result;
  }
  return 0;
}

int layout_clear(PyObject* self) {
  // Detached first: releasing a reference may run code that looks at self.
  LayoutData* data = as_layout(self)->data;
  as_layout(self)->data = nullptr;
  delete data;
  return 0;
}

void layout_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  layout_clear(self);
  free_instance(self);
}

std::vector<LayoutShapeEntry> shape_of(const std::vector<LayoutField>& fields) {
  std::vector<LayoutShapeEntry> shape;
  shape.reserve(fields.size());
  for (const LayoutField& field : fields) {
    LayoutShapeEntry entry{field.stored_name, std::nullopt, std::nullopt, {field.kind.variant}};
    if (field.kind.variant == LayoutKind::Variant::Layout) {
      entry.nested = as_layout(field.kind.layout.get())->data->shape;
    }
    const LayoutKind* element = &field.kind;
    while (element->variant == LayoutKind::Variant::List) {
      element = element->element.get();
      entry.kind.push_back(element->variant);
    }
    if (element != &field.kind && element->variant == LayoutKind::Variant::Layout) {
      entry.element_nested = as_layout(element->layout.get())->data->shape;
    }
    shape.push_back(std::move(entry));
  }
  return shape;
}

bool is_plain(const LayoutKind& kind) { return kind.variant <= LayoutKind::Variant::Bytes; }

const char* const layout_arguments[] = {"class", "fields", nullptr};

// One collected item of `fields`: (attribute, stored name, kind).
struct FieldItem {
  PyRef attribute;
  std::string stored_name;
  PyRef kind;
};

std::optional<FieldItem> field_item(PyObject* item) {
  auto parts = fixed_tuple(item, 3, "fields");
  if (!parts) return std::nullopt;
  PyObject* attribute = (*parts)[0];
  if (!PyUnicode_Check(attribute)) {
    PyErr_Format(PyExc_TypeError, "argument 'fields': expected an attribute name as a str");
    return std::nullopt;
  }
  auto stored_name = to_str((*parts)[1], "fields");
  if (!stored_name) return std::nullopt;
  return FieldItem{PyRef::borrow(attribute), std::string(*stored_name), PyRef::borrow((*parts)[2])};
}

PyObject* layout_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* cls = nullptr;
    PyObject* fields = nullptr;
    if (!parse_arguments(args, kwargs, "OO:Layout", layout_arguments, &cls, &fields)) {
      return nullptr;
    }
    if (!PyType_Check(cls)) {
      std::string got = values::type_name(reinterpret_cast<PyObject*>(Py_TYPE(cls)));
      PyErr_Format(PyExc_TypeError, "argument 'class': expected a class, not %s", got.c_str());
      return nullptr;
    }
    std::vector<FieldItem> items;
    bool collected = for_each_in_sequence(fields, "fields", [&](PyObject* item) {
      auto parsed = field_item(item);
      if (!parsed) return false;
      items.push_back(std::move(*parsed));
      return true;
    });
    if (!collected) return nullptr;

    auto data = std::make_unique<LayoutData>();
    data->fields.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
      FieldItem& item = items[i];
      PyObject* attribute = item.attribute.release();
      PyUnicode_InternInPlace(&attribute);
      PyRef interned = PyRef::steal(attribute);
      auto name = to_str(interned.get(), "fields");
      if (!name) return nullptr;
      data->attribute_positions[std::string(*name)] = i;
      auto kind = field_kind_from_python(item.kind.get());
      if (!kind) return nullptr;
      data->fields.push_back(
          LayoutField{std::move(*kind), std::move(item.stored_name), std::move(interned)});
    }
    data->shape = shape_of(data->fields);
    data->flat = !data->fields.empty();
    for (const LayoutField& field : data->fields) data->flat = data->flat && is_plain(field.kind);
    data->layout_id = next_layout_id.fetch_add(1, std::memory_order_relaxed);
    data->cls = PyRef::borrow(cls);

    PyObject* self = allocate_instance(type);
    if (self == nullptr) return nullptr;
    as_layout(self)->data = data.release();
    return self;
  });
}

PyType_Slot layout_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Layout(class, fields)\n--\n\n"
                       "A Python class as a collection's objects or an embedded object: its\n"
                       "fields, in the order the class declares them.")},
    {Py_tp_new, reinterpret_cast<void*>(layout_new)},
    {Py_tp_traverse, reinterpret_cast<void*>(layout_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(layout_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(layout_dealloc)},
    {0, nullptr},
};

PyType_Spec layout_spec = {
    "deziro._native.Layout",
    sizeof(LayoutObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    layout_slots,
};

ProcessCell layout_cell;

}  // namespace

PyObject* layout_type() { return class_object(layout_cell, layout_spec); }

const LayoutData* layout_data(PyObject* object) {
  PyObject* type = layout_type();
  if (type == nullptr) return nullptr;
  int is_layout = PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type));
  if (!is_layout) {
    PyErr_SetString(PyExc_TypeError, "expected a Layout");
    return nullptr;
  }
  const LayoutData* data = as_layout(object)->data;
  if (data == nullptr) raise_internal_failure("a Layout was used after the collector cleared it");
  return data;
}

std::optional<LayoutKind> field_kind_from_python(PyObject* object) {
  PyObject* type = layout_type();
  if (type == nullptr) return std::nullopt;
  if (PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type))) {
    if (layout_data(object) == nullptr) return std::nullopt;
    LayoutKind kind;
    kind.variant = LayoutKind::Variant::Layout;
    kind.layout = PyRef::borrow(object);
    return kind;
  }
  if (PyTuple_Check(object)) {
    if (PyTuple_Size(object) != 2) return invalid_kind(kKindShape);
    auto head = to_str(PyTuple_GetItem(object, 0), "kind");
    if (!head) return std::nullopt;
    if (*head != "list") return invalid_kind(kKindShape);
    auto element = field_kind_from_python(PyTuple_GetItem(object, 1));
    if (!element) return std::nullopt;
    LayoutKind kind;
    kind.variant = LayoutKind::Variant::List;
    kind.element = std::make_unique<LayoutKind>(std::move(*element));
    return kind;
  }
  if (PyUnicode_Check(object)) {
    auto name = to_str(object, "kind");
    if (!name) return std::nullopt;
    for (const PlainKindName& plain : kPlainKinds) {
      if (plain.name == *name) {
        LayoutKind kind;
        kind.variant = plain.variant;
        return kind;
      }
    }
    return invalid_kind(format_text("an unknown kind of field: {}", *name));
  }
  return invalid_kind(kKindShape);
}

}  // namespace deziro::binding::layout
