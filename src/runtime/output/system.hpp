// The state of the output system for a run: the destinations, the current
// step with its objects, its root, its current group and the text lifetimes.
// The service functions reach it through output_system().
#pragma once

#include <array>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "runtime/output/delivery_queue.hpp"
#include "runtime/output/destination.hpp"
#include "runtime/output/model.hpp"
#include "runtime/output/output.hpp"
#include "runtime/output/registry.hpp"
#include "runtime/output/object_pool.hpp"

namespace quilvar::runtime::output {

class OutputSystem {
 public:
  bool begin_run(const OutputOptions& options, std::string* error);
  void begin_step(std::string title, ByValuesSource by_values);
  void end_step(std::optional<int> status, std::vector<std::string> messages = {}, int more_messages = 0);
  bool finish_run(std::string* error);
  void abandon_run();

  void set_graphics_enabled(bool enabled) { step_graphics_ = enabled; }
  bool graphics_enabled() const { return run_graphics_ && step_graphics_; }

  bool in_step() const { return in_step_; }
  // Tells the destinations that the step's properties changed.
  void note_step_properties();
  Registry& registry() { return registry_; }
  StepInfo& step() { return step_; }

  // The step's root object, made on first use.
  OdsObject* root();
  // What an object opened now carries: the BY values, step and group.
  Origin make_origin();
  // The same, written into *origin reusing its storage.
  void fill_origin(Origin* origin);
  // A table record to fill, from the pool of delivered ones.
  std::unique_ptr<Table> take_table() { return tables_.take(); }
  // An information list record to fill, from the pool of delivered ones.
  std::unique_ptr<InfoList> take_list() { return lists_.take(); }
  // Makes the group current; texts made two groups ago are freed.
  void open_group(OdsObject* group);
  // Frees a group; when current, no group is current after it.
  void release_group(OdsObject* group);
  // A text value living in the step (see output.hpp for its lifetime).
  OdsObject* make_text(std::string text);
  // Records a template by name; an earlier template of that name is freed.
  void register_template(const std::string& name, OdsObject* handle);
  // The live template recorded under the name, or null.
  TemplateObject* template_named(std::string_view name);


  // Hands a finished object to every destination; the object must not
  // change afterwards (file destinations may still be writing it).
  void deliver(std::unique_ptr<Table> table);
  void deliver(std::unique_ptr<InfoList> list);
  void deliver(std::shared_ptr<const Graph> graph);

 private:
  void deliver_pending();
  // Calls `now` on every destination of this thread, and queues `later` for
  // each destination of a delivery thread.
  template <class Now, class Later>
  void for_each_destination(Now now, Later later);
  void for_each_step_call(void (Destination::*call)(const StepInfo&));
  // Hands the object to the destinations: `write` calls one of this thread,
  // `write_later` one of a delivery thread; then the record goes back to
  // `pool`.
  template <class T, class Write, class WriteLater>
  void deliver_pooled(std::unique_ptr<T> object, ObjectPool<T>& pool, Write write, WriteLater write_later);
  // The queue of the destination's delivery thread; null for one called on
  // this thread.
  DeliveryQueue* queue_of(const Destination& destination) const;
  // Waits for the delivery threads; afterwards no destination call runs.
  void drain();

  std::vector<std::unique_ptr<Destination>> destinations_;
  // Display forms are made on the thread of the destinations that show them:
  // the first maker is the caller's, then one per delivery thread
  // (declared before the queues, whose threads use them until they stop).
  std::array<DisplayMaker, kDeliveryThreads + 1> display_makers_;
  std::array<std::unique_ptr<DeliveryQueue>, kDeliveryThreads> queues_;
  ObjectPool<Table> tables_;
  ObjectPool<InfoList> lists_;
  bool run_graphics_ = true;
  bool step_graphics_ = true;
  bool in_step_ = false;
  int steps_ = 0;
  StepInfo step_;
  ByValuesSource by_values_;
  Registry registry_;
  OdsObject* root_ = nullptr;
  OdsObject* current_group_ = nullptr;
  std::uint64_t groups_opened_ = 0;
  std::deque<std::pair<std::uint64_t, OdsObject*>> group_texts_;  // (group count when made, text)
  std::vector<std::pair<std::string, OdsObject*>> templates_by_name_;
};

OutputSystem& output_system();

}  // namespace quilvar::runtime::output
