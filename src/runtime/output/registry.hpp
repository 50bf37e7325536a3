// The live objects of the output system behind the opaque handles the module
// holds. A handle encodes a slot index and the slot's generation, so a stale,
// freed or foreign handle is recognised and never dereferenced.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "quilvar/host/services.hpp"
#include "runtime/output/model.hpp"
#include "runtime/output/templates.hpp"

namespace quilvar::runtime::output {

using host::OdsObject;

struct RootObject {};

struct ManagerObject {
  std::string name;
  std::int32_t message_set = 0;
};

struct GroupObject {
  std::string name;
  std::string label;
};

// A run-time template: columns bound to the module's variables, and dynamic
// variables for the stored template's headers.
//
// A module defines the same template again for every BY group. A template
// made under the name of an earlier one starts out sharing the earlier
// one's columns (`reusing`); as long as each column defined equals the one
// at its place, nothing is copied. The first difference copies the matching
// part, so a shared column list is never changed.
struct TemplateObject {
  std::string name;
  std::string label;
  std::string second_label;
  std::string path;
  std::shared_ptr<std::vector<ColumnDef>> columns = std::make_shared<std::vector<ColumnDef>>();
  // Its dynamic variables are the first dynamic_count records; those after
  // are spare storage for more.
  std::vector<DynamicVariable> dynamic;
  std::size_t dynamic_count = 0;
  bool ended = false;                  // the column definition is complete
  bool reusing = false;                // `columns` is the earlier template's list
  std::size_t matched = 0;             // columns defined so far while reusing
  std::size_t rows_hint = 0;           // rows of the last output of this name,
  std::size_t texts_hint = 0;          // and the bytes of its texts
  // The stored template of the last output opened from this name, by path.
  std::string stored_path;
  const TableTemplate* stored = nullptr;
  OdsObject* open_output = nullptr;    // the output object receiving its rows
};

// An output object opened from a template; delivered when closed. Graph data
// objects stay here after delivery until a graph binds them.
struct OutputObject {
  std::unique_ptr<Table> table;
  OdsObject* source = nullptr;  // the template it was opened from
  bool rows_ended = false;
  bool delivered = false;
};

struct ListObject {
  std::unique_ptr<InfoList> list;  // handed to the destinations when delivered
  bool delivered = false;
};

struct TextObject {
  std::string text;
};

class Registry {
 public:
  // Stores the object and returns its handle (never null).
  template <class T>
  OdsObject* add(T object) {
    std::uint32_t index = 0;
    if (free_.empty()) {
      index = static_cast<std::uint32_t>(slots_.size());
      slots_.push_back(std::make_unique<Slot>());
    } else {
      index = free_.back();
      free_.pop_back();
    }
    slots_[index]->payload = std::move(object);
    return encode(index, slots_[index]->generation);
  }

  // The live object of type T behind the handle, or null.
  template <class T>
  T* find(const void* handle) {
    Slot* slot = locate(handle);
    return slot == nullptr ? nullptr : std::get_if<T>(&slot->payload);
  }

  // Calls visit(handle, object) for every live object of type T.
  template <class T, class Visit>
  void for_each(Visit visit) {
    for (std::uint32_t index = 0; index < slots_.size(); ++index) {
      if (T* object = std::get_if<T>(&slots_[index]->payload)) visit(encode(index, slots_[index]->generation), *object);
    }
  }

  // True when the handle names a live object of any type.
  bool contains(const void* handle) { return locate(handle) != nullptr; }

  // Frees the object behind the handle; the handle becomes stale.
  void remove(const void* handle);

  // Frees every object; all handles become stale.
  void clear();

  std::size_t live_count() const { return slots_.size() - free_.size(); }

 private:
  using Payload =
      std::variant<std::monostate, RootObject, ManagerObject, GroupObject, TemplateObject, OutputObject, ListObject,
                   TextObject>;
  struct Slot {
    std::uint32_t generation = 1;
    Payload payload;
  };

  static OdsObject* encode(std::uint32_t index, std::uint32_t generation);
  // The live slot of a handle, or null. Inline: every service call finds
  // one or two objects.
  Slot* locate(const void* handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    const std::uintptr_t low = value & 0xFFFFFFFFu;
    if (low == 0 || low > slots_.size()) return nullptr;
    Slot& slot = *slots_[low - 1];
    if (slot.generation != static_cast<std::uint32_t>(value >> 32)) return nullptr;
    if (std::holds_alternative<std::monostate>(slot.payload)) return nullptr;
    return &slot;
  }

  // Each slot on its own keeps objects in place as slots are added, and
  // finding one is a single indexing.
  std::vector<std::unique_ptr<Slot>> slots_;
  std::vector<std::uint32_t> free_;
};

inline host::OdsText* as_text(OdsObject* handle) { return reinterpret_cast<host::OdsText*>(handle); }

}  // namespace quilvar::runtime::output
