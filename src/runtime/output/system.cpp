// The run and step lifecycle of the output system and the fan-out of
// delivered objects to the destinations.
#include "runtime/output/system.hpp"

#include <algorithm>
#include <exception>

namespace quilvar::runtime::output {
namespace {

// The slot of a delivery thread's queue (not for kCaller).
constexpr std::size_t queue_index(DeliveryThread thread) { return static_cast<std::size_t>(thread) - 1; }

// A text made while the n-th group is the latest opened one is freed when
// group n + kTextGroupLifetime is opened: a BY group's texts outlive it by
// one group, and nothing of a long run piles up.
constexpr std::uint64_t kTextGroupLifetime = 2;

bool add_destination(std::vector<std::unique_ptr<Destination>>* destinations,
                     std::unique_ptr<Destination> destination) {
  if (destination == nullptr) return false;
  destinations->push_back(std::move(destination));
  return true;
}

bool make_destinations(const OutputOptions& options, std::vector<std::unique_ptr<Destination>>* made,
                       std::string* error) {
  auto numbers = std::make_shared<ShortestTextCache>();
  const InputFiles* inputs = options.inputs;
  if (options.listing != nullptr) made->push_back(make_listing_destination(options.listing));
  if (!options.json_path.empty() &&
      !add_destination(made, make_json_destination(options.json_path, options.program_name, numbers, inputs, error))) {
    return false;
  }
  if (!options.csv_dir.empty() &&
      !add_destination(made, make_csv_destination(options.csv_dir, numbers, inputs, error))) {
    return false;
  }
  if (!options.html_path.empty() &&
      !add_destination(made, make_html_destination(options.html_path, options.program_name, options.render_graph,
                                                   options.html_kept_in_memory, inputs, error))) {
    return false;
  }
  if (!options.plots_dir.empty() && options.render_graph &&
      !add_destination(made, make_plots_destination(options.plots_dir, options.render_graph, inputs, error))) {
    return false;
  }
  return true;
}

// Runs `call` with the destination; one that throws (memory ran out part
// way through an object) marks the destination, whose file may then hold
// part of an object, and the exception goes on.
template <class Call>
void call_marking_failure(Destination& destination, Call&& call) {
  try {
    call();
  } catch (...) {
    destination.mark_failed();
    throw;
  }
}

// Runs `call` for each destination that `wanted` picks, each whatever the
// others throw, so that no destination misses a call (a step's end, say)
// because another failed; then the first exception goes on.
template <class Wanted, class Call>
void call_each(const std::vector<std::unique_ptr<Destination>>& destinations, Wanted wanted, Call call) {
  std::exception_ptr first;
  for (const auto& destination : destinations) {
    if (!wanted(*destination)) continue;
    try {
      call_marking_failure(*destination, [&] { call(*destination); });
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}

}  // namespace

bool OutputSystem::begin_run(const OutputOptions& options, std::string* error) {
  abandon_run();
  std::vector<std::unique_ptr<Destination>> made;
  if (!make_destinations(options, &made, error)) return false;
  destinations_ = std::move(made);
  for (const auto& destination : destinations_) {
    const DeliveryThread thread = destination->delivery_thread();
    if (thread == DeliveryThread::kCaller) continue;
    std::unique_ptr<DeliveryQueue>& queue = queues_[queue_index(thread)];
    if (queue == nullptr) queue = std::make_unique<DeliveryQueue>();
  }
  run_graphics_ = options.graphics;
  step_graphics_ = true;
  steps_ = 0;
  return true;
}

void OutputSystem::begin_step(std::string title, ByValuesSource by_values) {
  if (in_step_) end_step(std::nullopt);
  in_step_ = true;
  step_ = StepInfo{++steps_, std::move(title), std::string(), std::nullopt, {}, 0};
  by_values_ = std::move(by_values);
  for_each_step_call(&Destination::begin_step);
}

void OutputSystem::end_step(std::optional<int> status, std::vector<std::string> messages, int more_messages) {
  if (!in_step_) return;
  deliver_pending();
  step_.status = status;
  step_.messages = std::move(messages);
  step_.more_messages = more_messages;
  for_each_step_call(&Destination::end_step);
  // Delivered objects point at this step's record, which the next step
  // replaces.
  drain();
  registry_.clear();
  root_ = nullptr;
  current_group_ = nullptr;
  groups_opened_ = 0;
  group_texts_.clear();
  templates_by_name_.clear();
  by_values_ = nullptr;
  in_step_ = false;
}

bool OutputSystem::finish_run(std::string* error) {
  end_step(std::nullopt);
  drain();
  std::string messages;
  for (const auto& queue : queues_) {
    if (queue != nullptr) append_error(&messages, queue->failure());
  }
  for (const auto& destination : destinations_) {
    std::string message;
    const bool done = destination->failed() ? destination->abandon(&message) : destination->finish(&message);
    if (!done) append_error(&messages, message);
  }
  destinations_.clear();
  for (auto& queue : queues_) queue.reset();
  if (messages.empty()) return true;
  *error = messages;
  return false;
}

void OutputSystem::abandon_run() {
  drain();
  registry_.clear();
  in_step_ = false;
  root_ = nullptr;
  current_group_ = nullptr;
  group_texts_.clear();
  templates_by_name_.clear();
  by_values_ = nullptr;
  destinations_.clear();
  for (auto& queue : queues_) queue.reset();
}

OdsObject* OutputSystem::root() {
  if (registry_.find<RootObject>(root_) == nullptr) root_ = registry_.add(RootObject{});
  return root_;
}

Origin OutputSystem::make_origin() {
  Origin origin;
  fill_origin(&origin);
  return origin;
}

void OutputSystem::fill_origin(Origin* origin) {
  origin->step = &step_;
  if (by_values_) {
    origin->by = by_values_();
  } else {
    origin->by.clear();
  }
  if (const GroupObject* group = registry_.find<GroupObject>(current_group_)) {
    origin->group_name.assign(group->name);
    origin->group_label.assign(group->label);
  } else {
    origin->group_name.clear();
    origin->group_label.clear();
  }
}

void OutputSystem::open_group(OdsObject* group) {
  current_group_ = group;
  ++groups_opened_;
  while (!group_texts_.empty() && group_texts_.front().first + kTextGroupLifetime <= groups_opened_) {
    registry_.remove(group_texts_.front().second);
    group_texts_.pop_front();
  }
}

void OutputSystem::release_group(OdsObject* group) {
  if (group == current_group_) current_group_ = nullptr;
  registry_.remove(group);
}

OdsObject* OutputSystem::make_text(std::string text) {
  OdsObject* handle = registry_.add(TextObject{std::move(text)});
  if (groups_opened_ > 0) group_texts_.emplace_back(groups_opened_, handle);
  return handle;
}

void OutputSystem::register_template(const std::string& name, OdsObject* handle) {
  for (auto& [known, earlier] : templates_by_name_) {
    if (!same_name(known, name)) continue;
    registry_.remove(earlier);
    earlier = handle;
    return;
  }
  templates_by_name_.emplace_back(name, handle);
}

// `now` runs for each destination of this thread; `later`, a copy made now,
// runs for each destination of a delivery thread when its turn comes.
template <class Now, class Later>
void OutputSystem::for_each_destination(Now now, Later later) {
  call_each(destinations_, [](const Destination&) { return true; }, [&](Destination& destination) {
    Destination* target = &destination;
    if (DeliveryQueue* queue = queue_of(*target)) {
      queue->post([target, later] { call_marking_failure(*target, [&] { later(*target); }); });
    } else {
      now(*target);
    }
  });
}

// Destinations of this thread get the step record itself (the HTML report
// keeps it for its headings); a delivery thread gets a copy, as the record
// changes while the copy waits.
void OutputSystem::for_each_step_call(void (Destination::*call)(const StepInfo&)) {
  for_each_destination([this, call](Destination& destination) { (destination.*call)(step_); },
                       [call, step = step_](Destination& destination) { (destination.*call)(step); });
}

void OutputSystem::note_step_properties() { for_each_step_call(&Destination::update_step); }

DeliveryQueue* OutputSystem::queue_of(const Destination& destination) const {
  const DeliveryThread thread = destination.delivery_thread();
  return thread == DeliveryThread::kCaller ? nullptr : queues_[queue_index(thread)].get();
}

void OutputSystem::drain() {
  for (const auto& queue : queues_) {
    if (queue != nullptr) queue->drain();
  }
}

TemplateObject* OutputSystem::template_named(std::string_view name) {
  for (const auto& [known, handle] : templates_by_name_) {
    if (same_name(known, name)) return registry_.find<TemplateObject>(handle);
  }
  return nullptr;
}

// The destinations of this thread write the object now; those of each
// delivery thread in one call there. The record goes back to its pool when
// the last thread is done with it.
template <class T, class Write, class WriteLater>
void OutputSystem::deliver_pooled(std::unique_ptr<T> object, ObjectPool<T>& pool, Write write,
                                  WriteLater write_later) {
  std::array<bool, kDeliveryThreads> used{};
  for (const auto& destination : destinations_) {
    if (queue_of(*destination) != nullptr) used[queue_index(destination->delivery_thread())] = true;
  }
  call_each(destinations_, [this](const Destination& destination) { return queue_of(destination) == nullptr; },
            [&](Destination& destination) { write(destination, *object); });
  if (std::none_of(used.begin(), used.end(), [](bool u) { return u; })) {
    pool.give_back(std::move(object));
    return;
  }
  std::shared_ptr<T> shared(object.release(), [&pool](T* done) { pool.give_back(std::unique_ptr<T>(done)); });
  for (std::size_t index = 0; index < kDeliveryThreads; ++index) {
    if (!used[index]) continue;
    queues_[index]->post([this, index, write_later, shared]() mutable {
      // The record goes back however the writes end: the last thread done
      // hands it back.
      const std::shared_ptr<T> record = std::move(shared);
      call_each(destinations_,
                [index](const Destination& destination) {
                  return queue_index(destination.delivery_thread()) == index;
                },
                [&](Destination& destination) { write_later(destination, *record); });
    });
  }
}

// The display form is made once for the destinations of this thread that
// want it, and on a delivery thread for those there.
void OutputSystem::deliver(std::unique_ptr<Table> table) {
  const DisplayTable* display = nullptr;
  deliver_pooled(
      std::move(table), tables_,
      [this, &display](Destination& destination, const Table& written) {
        if (destination.wants_display() && display == nullptr) display = &display_makers_[0].make(written);
        destination.write_table(written, destination.wants_display() ? display : nullptr);
      },
      [this](Destination& destination, const Table& written) {
        if (!destination.wants_display()) {
          destination.write_table(written, nullptr);
          return;
        }
        const std::size_t maker = queue_index(destination.delivery_thread()) + 1;
        destination.write_table(written, &display_makers_[maker].make(written));
      });
}

void OutputSystem::deliver(std::unique_ptr<InfoList> list) {
  const auto write = [](Destination& destination, const InfoList& written) { destination.write_list(written); };
  deliver_pooled(std::move(list), lists_, write, write);
}

void OutputSystem::deliver(std::shared_ptr<const Graph> graph) {
  const auto write = [graph](Destination& destination) { destination.write_graph(*graph); };
  for_each_destination(write, write);
}

// Lists never ended or released are delivered as they stand; graph data no
// graph bound are delivered as graphs without a template.
void OutputSystem::deliver_pending() {
  registry_.for_each<ListObject>([&](OdsObject*, ListObject& list) {
    if (list.delivered) return;
    list.delivered = true;  // before the delivery, which may fail for want of memory
    deliver(std::move(list.list));
  });
  registry_.for_each<OutputObject>([&](OdsObject*, OutputObject& output) {
    // A table handed over already (or lost to an allocation that failed
    // while it was being handed over) is not delivered again.
    if (!output.delivered || output.table == nullptr || !output.table->graph_data) return;
    auto graph = std::make_shared<Graph>();
    graph->name = output.table->name;
    graph->label = output.table->label;
    graph->origin = output.table->origin;
    graph->data.push_back(std::move(output.table));
    deliver(std::move(graph));
    output.delivered = false;
  });
}

OutputSystem& output_system() {
  static OutputSystem system;
  return system;
}

std::int32_t failure_status(Failure failure) {
  constexpr std::uint32_t kNegative = 0x80000000u;
  constexpr int kFacilityShift = 11;
  const std::uint32_t word = kNegative | (kOutputFacility << kFacilityShift) | static_cast<std::uint32_t>(failure);
  return static_cast<std::int32_t>(word);
}

bool begin_run(const OutputOptions& options, std::string* error) { return output_system().begin_run(options, error); }

void begin_step(std::string title, ByValuesSource by_values) {
  output_system().begin_step(std::move(title), std::move(by_values));
}

void end_step(int status, std::vector<std::string> messages, int more_messages) {
  output_system().end_step(status, std::move(messages), more_messages);
}

bool finish_run(std::string* error) { return output_system().finish_run(error); }

void abandon_run() { output_system().abandon_run(); }

void set_graphics_enabled(bool enabled) { output_system().set_graphics_enabled(enabled); }

}  // namespace quilvar::runtime::output
