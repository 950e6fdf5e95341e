// The graph session of one network: its weights on the backends, a backend
// scheduler and a bounded cache of built graphs.
//
// Threading: setup(), every run (from after its graph key is computed until
// it returns or throws), make_session_state, reset_session_state and
// read_model_tensor hold the backend manager's mutex for their whole work, so
// all sessions of one manager run one at a time. load_weight,
// import_model_tensor and the create_state_tensor_* calls take no lock: they
// are meant for the modules, inside setup(). bind_state, collect_state_views
// and dump_schedule take no lock either; dump_schedule must not overlap a run
// of the same session. A SessionState must not be used by two runs at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "ggml-backend.h"
#include "ggml.h"
#include "runtime/ggml/backend.h"
#include "runtime/ggml/loader.h"
#include "runtime/ggml/module.h"
#include "runtime/ggml/tensor_container.h"

namespace ggml_runtime {

// Data left on a backend: lets one session's output be another's input
// without a copy through host memory. Owns nothing.
struct DeviceTensor {
  ggml_tensor* tensor = nullptr;
  ggml_backend_buffer_type_t buft = nullptr;
  size_t offset = 0;  // bytes into the tensor's data
};

// Per-stream copies of a session's declared state tensors. A default-built
// state has no container and is an invalid handle. Moved, not copied.
struct SessionState {
  SessionState() = default;
  SessionState(SessionState&&) = default;
  SessionState& operator=(SessionState&&) = default;
  SessionState(const SessionState&) = delete;
  SessionState& operator=(const SessionState&) = delete;

  std::unique_ptr<TensorContainer> container;
};

// Builds a graph object for `outputs` inside `mem`: inputs are marked as graph
// inputs, outputs (and their view sources) as graph outputs.
ggml_cgraph* expand_graph_into(TensorBag& inputs, TensorBag& outputs, size_t graph_size,
                               std::vector<uint8_t>& mem);

class Session {
 public:
  static constexpr size_t kSchedGraphSize = 65536;  // scheduler graph size and node limit of one graph

  // One graph input. A host input of the usual kind is
  // {name, type, data, shape, persistent false, upload true, sync_upload false, device null}.
  struct Input {
    std::string name;                 // tensor in the run container, or in model_container when persistent
    ggml_type dtype = GGML_TYPE_F32;  // element type
    const void* data = nullptr;       // host values, read when uploading
    std::vector<int64_t> shape;       // 1 to 4 extents, innermost first
    bool persistent = false;          // refers to a tensor declared in model_container
    bool upload = true;               // copy `data` into the tensor before each run
    bool sync_upload = false;         // blocking copy even where an asynchronous one is possible
    DeviceTensor* device = nullptr;   // borrow another session's storage instead of uploading
  };

  // One requested result: chosen by `index` (>= 0, `name` empty) or by
  // `name` (non-empty, `index` negative).
  struct Output {
    int32_t index = -1;              // position in the root's output bag
    std::string name;                // tensor registered in the run container
    void* data = nullptr;            // host destination, may be null with `device`
    size_t size = 0;                 // bytes available at `data`
    int64_t ne[4] = {0, 0, 0, 0};    // written back: the tensor's extents
    DeviceTensor* device = nullptr;  // receives a reference to the result tensor
  };

  // One declared state tensor.
  struct StateSpec {
    std::string name;
    ggml_type type = GGML_TYPE_F32;
    int32_t rank = 1;              // extents given: 1, 2 or 3
    int64_t ne[4] = {1, 1, 1, 1};  // innermost first, 1 beyond `rank`
  };

  // The backend the scheduler chose for one graph node (schedule capture).
  struct NodeAssignment {
    std::string op;       // ggml_op_name of the node's operation
    std::string name;     // the node's ggml name, may be empty
    std::string backend;  // ggml_backend_name, or "<unassigned>"
  };

  // What a cached graph was built for: one record per input, full names.
  struct InputSignature {
    std::string name;
    ggml_type type = GGML_TYPE_F32;
    int64_t ne[4] = {1, 1, 1, 1};
    bool persistent = false;
    bool device_bound = false;
    uintptr_t device_address = 0;  // data + offset of the binding
    bool operator==(const InputSignature& other) const;
  };
  using GraphSignature = std::vector<InputSignature>;

  // One built graph of the cache.
  struct CachedRun {
    CachedRun() = default;
    CachedRun(CachedRun&&) = default;
    CachedRun& operator=(CachedRun&&) = default;

    std::unique_ptr<TensorContainer> container;  // run container: inputs, operations, registered tensors
    TensorBag inputs;                            // declared inputs of the real pass
    TensorBag outputs;                           // the root's outputs; Output::index counts these
    std::vector<uint8_t> graph_mem;              // holds the graph object
    ggml_cgraph* graph = nullptr;
    std::vector<NodeAssignment> schedule;   // filled once by the schedule capture
    std::vector<ggml_tensor*> state_views;  // nodes that view state templates
    uint64_t generation = 0;                // session generation at the last scheduled run
    bool direct = false;                    // may be computed directly on direct_backend
    ggml_backend_t direct_backend = nullptr;
    GraphSignature signature;  // compared on every hit: a key collision is a miss
    bool reads_state = false;  // the graph reads state templates (needs a SessionState)
  };

  using WeightLoadHook =
      std::function<void(const std::string& name, ggml_bf_tensor& target, GGUFLoader* loader)>;
  using DeclareInputsFn = std::function<TensorBag(Session*, TensorContainer*)>;
  using UploadInputsFn = std::function<bool(Session*, TensorContainer*)>;
  using ReadOutputsFn = std::function<bool(Session*, TensorBag, TensorContainer*)>;

  // Borrows all three; touches no backend. The manager must outlive the
  // session, the root module must live as long as the session is run.
  Session(BackendManager& manager, Module* root, GGUFLoader* loader);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Declares, allocates and loads the network's tensors and creates the
  // scheduler. Set cache_capacity and weight_load_hook before.
  void setup();
  // (Re)creates the scheduler and empties the graph cache.
  void init_schedule();
  // Copies one stored weight from the loader into model_container's tensor of
  // that name (same type, or F32 converted to F16).
  void load_weight(const std::string& name);
  // Registers an allocated tensor in model_container (from setup() on).
  ggml_bf_tensor import_model_tensor(const std::string& name, ggml_tensor* tensor);

  // Computes the graph for `inputs` (built on a cache miss) and fills `outputs`.
  void run(const std::vector<Input>& inputs, std::vector<Output>& outputs, SessionState* state = nullptr);
  // The run under the lock. `signature`, when given, must match the cached
  // entry of `key` for a hit; a mismatch rebuilds the entry.
  void run_impl(uint64_t key, const DeclareInputsFn& declare_inputs, const UploadInputsFn& upload_inputs,
                const ReadOutputsFn& read_outputs, SessionState* state,
                const GraphSignature* signature = nullptr);

  // The three steps that connect input and output records to a graph.
  TensorBag declare_inputs(const std::vector<Input>& inputs, TensorContainer* run_container);
  bool upload_inputs(const std::vector<Input>& inputs, TensorContainer* run_container);
  bool read_outputs(std::vector<Output>& outputs, TensorBag graph_outputs, TensorContainer* run_container);
  // FNV-1a over the inputs' names, types, extents and device addresses.
  uint64_t graph_key(const std::vector<Input>& inputs) const;
  GraphSignature graph_signature(const std::vector<Input>& inputs) const;

  // State tensors: declared from a module's define_tensors.
  ggml_bf_tensor create_state_tensor_1d(const std::string& name, ggml_type type, int64_t ne0);
  ggml_bf_tensor create_state_tensor_2d(const std::string& name, ggml_type type, int64_t ne0, int64_t ne1);
  ggml_bf_tensor create_state_tensor_3d(const std::string& name, ggml_type type, int64_t ne0, int64_t ne1,
                                        int64_t ne2);
  SessionState make_session_state();
  void reset_session_state(SessionState& state);
  void bind_state(SessionState* state);
  void collect_state_views(ggml_cgraph* graph, std::vector<ggml_tensor*>& out) const;
  // Synchronous host copy of a model_container tensor.
  void read_model_tensor(const std::string& name, void* dst, size_t len);

  // Report of the captured node-to-backend schedules.
  void dump_schedule(std::ostream& out, const std::string& title) const;

  // Inspection (unlocked; not during a run).
  bool is_ready() const { return ready_; }
  size_t cached_graph_count() const { return graph_cache.size(); }
  const CachedRun* find_cached_run(uint64_t key) const;
  const std::vector<uint64_t>& lru_order() const { return lru_keys; }
  uint64_t current_generation() const { return generation; }
  const std::vector<StateSpec>& state_declarations() const { return state_specs; }
  TensorContainer* state_templates() const { return state_container.get(); }

  Params params;                                     // copy of the manager's params
  std::unique_ptr<TensorContainer> model_container;  // weights and other declared tensors

 private:
  std::unique_ptr<TensorContainer> state_container;  // state templates, never allocated

 public:
  GGUFLoader* loader = nullptr;     // borrowed, may be null
  WeightLoadHook weight_load_hook;  // called by load_weight before each copy

 private:
  std::vector<StateSpec> state_specs;
  BackendManager* manager = nullptr;
  Module* root = nullptr;
  TensorContainer::BufferTypeList buft_list;
  std::vector<ggml_backend_t> backends;
  std::unique_ptr<ggml_backend_sched, ggml_backend_sched_deleter> sched;
  std::vector<uint8_t> graph_scratch;
  std::unordered_map<uint64_t, CachedRun> graph_cache;
  std::vector<uint64_t> lru_keys;  // least recently used first

 public:
  size_t cache_capacity = 4;  // largest number of cached graphs

 private:
  std::vector<size_t> sched_buffer_sizes;
  uint64_t generation = 0;
  bool ready_ = false;

  void clear_graph_cache();
  void remove_cached(uint64_t key);
  bool graph_reads_state(ggml_cgraph* graph, const TensorBag& outputs) const;
  void run_direct(CachedRun& entry, bool async_in, bool timing, std::chrono::steady_clock::time_point t0,
                  std::chrono::steady_clock::time_point t1, const ReadOutputsFn& read_outputs);
  void run_scheduled(CachedRun& entry, bool timing, std::chrono::steady_clock::time_point t0,
                     std::chrono::steady_clock::time_point t1, const ReadOutputsFn& read_outputs);
};

}  // namespace ggml_runtime
