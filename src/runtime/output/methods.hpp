// The handlers of the output services' methods, shared by the files that
// implement them and the dispatcher.
#pragma once

#include <cstdint>

#include "quilvar/host/output_item.hpp"
#include "runtime/output/output.hpp"
#include "runtime/output/request.hpp"
#include "runtime/output/system.hpp"

namespace quilvar::runtime::output {

inline std::int32_t fail(Failure failure) { return failure_status(failure); }

inline bool is_manager_or_root(Registry& registry, OdsObject* object) {
  return registry.find<ManagerObject>(object) != nullptr || registry.find<RootObject>(object) != nullptr;
}

// Writes the handle to the result item; when it cannot, frees the object and
// returns a failing status.
std::int32_t hand_out(Registry& registry, host::OutputItem* result, OdsObject* handle);

// Each handler runs one method on `object` and returns 0 or a failing status.
std::int32_t create_object(OutputSystem& system, OdsObject* object, Request& request);        // 147
std::int32_t set_step_properties(OutputSystem& system, OdsObject* object, Request& request);  // 439
std::int32_t open_group(OutputSystem& system, OdsObject* object, Request& request);           // 300
std::int32_t set_dynamic_variables(OutputSystem& system, OdsObject* object, Request& request);  // 316
std::int32_t define_column(OutputSystem& system, OdsObject* object, Request& request);        // 338
std::int32_t end_definition(OutputSystem& system, OdsObject* object, Request& request);       // 298
std::int32_t open_output(OutputSystem& system, OdsObject* object, Request& request);          // 422
std::int32_t add_row(OutputSystem& system, OdsObject* object, Request& request);              // 329
std::int32_t end_rows(OutputSystem& system, OdsObject* object, Request& request);             // 299
std::int32_t close_output(OutputSystem& system, OdsObject* object, Request& request);         // 428
std::int32_t add_entry(OutputSystem& system, OdsObject* object, Request& request);            // 164
std::int32_t bind_graph(OutputSystem& system, OdsObject* object, Request& request);           // 2826

}  // namespace quilvar::runtime::output
