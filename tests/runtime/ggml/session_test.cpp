// Session set-up, weight loading, inputs and outputs, state tensors.
#include "runtime/ggml/session.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ggml-backend.h"
#include "ggml-cpu.h"
#include "runtime/ggml/loader.h"
#include "runtime/ggml/session_test_modules.h"
#include "support/error_text.h"
#include "support/gguf_writer.h"

namespace {

using kestrix_test::error_text;

using ggml_runtime::BackendManager;
using ggml_runtime::DeviceTensor;
using ggml_runtime::ggml_bf_tensor;
using ggml_runtime::Session;
using ggml_runtime::SessionState;
using ggml_runtime::TensorBag;
using ggml_runtime::TensorContainer;
using kestrix_test::FnModule;
using kestrix_test::host_input;
using kestrix_test::host_output;

template <typename E, typename F>
std::string error_of_type(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("<other exception> ") + e.what();
  }
  return "<no exception>";
}

// One declared weight: name, type and extents.
struct Declared {
  std::string name;
  ggml_type type;
  std::vector<int64_t> ne;
};

void declare(Session* s, const Declared& d) {
  switch (d.ne.size()) {
    case 1:
      s->model_container->create_tensor_1d(d.name, d.type, d.ne[0]);
      break;
    case 2:
      s->model_container->create_tensor_2d(d.name, d.type, d.ne[0], d.ne[1]);
      break;
    case 3:
      s->model_container->create_tensor_3d(d.name, d.type, d.ne[0], d.ne[1], d.ne[2]);
      break;
    default:
      s->model_container->create_tensor_4d(d.name, d.type, d.ne[0], d.ne[1], d.ne[2], d.ne[3]);
      break;
  }
}

// Declares the given weights and loads each through load_weight; its graph
// adds the first weight to the input (both [n]).
FnModule weights_module(std::vector<Declared> declared) {
  FnModule m;
  m.define = [declared](Session* s) {
    for (const Declared& d : declared) declare(s, d);
  };
  m.fill = [declared](Session* s) {
    for (const Declared& d : declared) s->load_weight(d.name);
  };
  m.build = [declared](Session* s, TensorBag& in, TensorContainer* rc) {
    ggml_bf_tensor w = s->model_container->get_tensor_by_name(declared.front().name);
    ggml_bf_tensor x = in.get_tensor(0);
    // x: [n], w: [n] -> y: [n]
    ggml_tensor* y = ggml_add(rc->get_ctx_of_buffer_type(w.buft).ctx, x.tensor, w.tensor);
    ggml_set_name(y, "y");
    TensorBag out;
    out.add_tensor({y, w.buft});
    return out;
  };
  return m;
}

// ---------------------------------------------------------------------------
// Set-up and weight loading

TEST(SessionSetup, LoadsSameTypeAndConvertsF32ToF16) {
  const std::vector<float> a = kestrix_test::random_floats(12, 1);
  const std::vector<float> b = kestrix_test::random_floats(12, 2);
  const std::vector<float> c = kestrix_test::random_floats(64, 3);
  kestrix_test::GgufWriter writer;
  writer.add_tensor_f32("same", {12}, a);
  writer.add_tensor_f32("to_f16", {4, 3}, b);
  writer.add_tensor_from_f32("bf16", GGML_TYPE_BF16, {64}, c);
  writer.add_tensor_from_f32("q8", GGML_TYPE_Q8_0, {64}, c);
  writer.add_tensor_f32("pointwise", {1, 4, 3}, b);  // stored [1, 4, 3], declared [4, 3]
  const std::string path = kestrix_test::temp_path("load.gguf");
  writer.write(path);

  ggml_runtime::GGUFLoader loader(path);
  auto manager = kestrix_test::cpu_manager();
  FnModule module = weights_module({{"same", GGML_TYPE_F32, {12}},
                                    {"to_f16", GGML_TYPE_F16, {4, 3}},
                                    {"bf16", GGML_TYPE_BF16, {64}},
                                    {"q8", GGML_TYPE_Q8_0, {64}},
                                    {"pointwise", GGML_TYPE_F32, {4, 3}}});
  Session session(*manager, &module, &loader);
  EXPECT_EQ(session.cache_capacity, 4u);
  session.setup();
  EXPECT_TRUE(session.is_ready());
  EXPECT_EQ(loader.read_buffer_size(), 0u);  // the file was released after loading

  std::vector<float> same(12);
  session.read_model_tensor("same", same.data(), same.size() * sizeof(float));
  EXPECT_EQ(same, a);

  std::vector<ggml_fp16_t> halves(12);
  session.read_model_tensor("to_f16", halves.data(), halves.size() * sizeof(ggml_fp16_t));
  for (size_t i = 0; i < 12; ++i) EXPECT_EQ(ggml_fp16_to_fp32(halves[i]), kestrix_test::round_f16(b[i])) << i;

  std::vector<float> pointwise(12);
  session.read_model_tensor("pointwise", pointwise.data(), pointwise.size() * sizeof(float));
  EXPECT_EQ(pointwise, b);

  // Stored bytes of other types are copied unchanged.
  for (const char* name : {"bf16", "q8"}) {
    const ggml_type type = loader.get_tensor_type(name);
    const size_t n = ggml_row_size(type, 64);
    std::vector<uint8_t> loaded(n);
    session.read_model_tensor(name, loaded.data(), n);
    const uint8_t* stored = loader.get_tensor_file_data(name, n);
    EXPECT_EQ(std::memcmp(loaded.data(), stored, n), 0) << name;
  }
}

TEST(SessionSetup, WeightErrors) {
  kestrix_test::GgufWriter writer;
  writer.add_tensor_from_f32("half", GGML_TYPE_F16, {4}, {1, 2, 3, 4});
  writer.add_tensor_f32("twelve", {4, 3}, kestrix_test::random_floats(12, 4));
  writer.add_tensor_f32("ten", {10}, kestrix_test::random_floats(10, 5));
  const std::string path = kestrix_test::temp_path("errors.gguf");
  writer.write(path);

  struct Case {
    const char* what;
    Declared declared;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"F16 on disk into F32",
       {"half", GGML_TYPE_F32, {4}},
       "load_weight(half): cannot load on-disk dtype 1 into in-memory dtype 0 (only same-dtype copy or "
       "F32->F16 "
       "convert supported)"},
      {"F32 on disk into BF16",
       {"twelve", GGML_TYPE_BF16, {12}},
       "load_weight(twelve): cannot load on-disk dtype 0 into in-memory dtype 30 (only same-dtype copy or "
       "F32->F16 "
       "convert supported)"},
      {"declared larger than stored",
       {"twelve", GGML_TYPE_F32, {4, 4}},
       "load_weight(twelve): stored tensor has 48 bytes, declared tensor needs 64 bytes"},
      {"declared smaller than stored",
       {"twelve", GGML_TYPE_F32, {11}},
       "load_weight(twelve): stored tensor has 48 bytes, declared tensor needs 44 bytes"},
      {"F32 to F16 of another element count",
       {"ten", GGML_TYPE_F16, {12}},
       "load_weight(ten): stored tensor has 40 bytes, declared tensor needs 48 bytes"},
      {"not in the file", {"absent", GGML_TYPE_F32, {4}}, "Tensor not found: absent"},
  };
  for (const Case& c : cases) {
    ggml_runtime::GGUFLoader loader(path);
    auto manager = kestrix_test::cpu_manager();
    FnModule module = weights_module({c.declared});
    Session session(*manager, &module, &loader);
    EXPECT_EQ(error_of_type<std::runtime_error>([&] { session.setup(); }), c.message) << c.what;
    EXPECT_FALSE(session.is_ready()) << c.what;
    EXPECT_TRUE(manager->mutex.try_lock()) << c.what;
    manager->mutex.unlock();
    // A session whose set-up failed refuses to run.
    std::vector<Session::Output> outputs;
    EXPECT_NE(error_of_type<std::logic_error>([&] { session.run({}, outputs); }).find("not set up"),
              std::string::npos);
  }
}

TEST(SessionSetup, HookSeesEveryWeightAndMayRefuseOrReplace) {
  const std::vector<float> w = kestrix_test::random_floats(8, 6);
  kestrix_test::GgufWriter writer;
  writer.add_tensor_f32("a", {8}, w);
  writer.add_tensor_f32("b", {8}, w);
  const std::string path = kestrix_test::temp_path("hook.gguf");
  writer.write(path);

  {  // A refusing hook: setup() passes its exception on and frees the mutex.
    ggml_runtime::GGUFLoader loader(path);
    auto manager = kestrix_test::cpu_manager();
    FnModule module = weights_module({{"a", GGML_TYPE_F32, {8}}, {"b", GGML_TYPE_F32, {8}}});
    Session session(*manager, &module, &loader);
    std::vector<std::string> seen;
    session.weight_load_hook = [&](const std::string& name, ggml_bf_tensor& target,
                                   ggml_runtime::GGUFLoader* l) {
      seen.push_back(name);
      EXPECT_EQ(l, &loader);
      EXPECT_STREQ(target.tensor->name, name.c_str());
      if (name == "b") throw std::invalid_argument("refused " + name);
    };
    EXPECT_EQ(error_of_type<std::invalid_argument>([&] { session.setup(); }), "refused b");
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "b"}));
    ASSERT_TRUE(manager->mutex.try_lock());
    manager->mutex.unlock();
  }
  {  // A replacing hook: the copy, its type and its size follow the replacement.
    ggml_runtime::GGUFLoader loader(path);
    auto manager = kestrix_test::cpu_manager();
    FnModule module = weights_module(
        {{"a", GGML_TYPE_F32, {8}}, {"b", GGML_TYPE_F32, {8}}, {"b_half", GGML_TYPE_F16, {8}}});
    module.fill = [](Session* s) {
      s->load_weight("a");
      s->load_weight("b");
    };
    Session session(*manager, &module, &loader);
    session.weight_load_hook = [&session](const std::string& name, ggml_bf_tensor& target,
                                          ggml_runtime::GGUFLoader*) {
      if (name == "b") target = session.model_container->get_tensor_by_name("b_half");
    };
    session.setup();
    std::vector<ggml_fp16_t> half(8);
    session.read_model_tensor("b_half", half.data(), half.size() * sizeof(ggml_fp16_t));
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(ggml_fp16_to_fp32(half[i]), kestrix_test::round_f16(w[i])) << i;
  }
}

TEST(SessionSetup, WithoutLoader) {
  auto manager = kestrix_test::cpu_manager();
  const std::vector<float> values = {0.5f, -1.5f, 2.0f};
  FnModule module;
  module.define = [](Session* s) { s->model_container->create_tensor_1d("computed", GGML_TYPE_F32, 3); };
  module.fill = [&values](Session* s) {
    ggml_backend_tensor_set(s->model_container->get_tensor_by_name("computed").tensor, values.data(), 0,
                            values.size() * sizeof(float));
    EXPECT_EQ(error_of_type<std::logic_error>([s] { s->load_weight("computed"); }),
              "load_weight(computed): the session has no model loader");
  };
  module.build = kestrix_test::add_scalar_graph(0.0f);
  Session session(*manager, &module, nullptr);
  EXPECT_EQ(error_of_type<std::logic_error>([&] { session.import_model_tensor("t", nullptr); }),
            "import_model_tensor must be called during Session::setup");
  std::vector<Session::Output> none;
  EXPECT_NE(error_of_type<std::logic_error>([&] { session.run({}, none); }).find("not set up"),
            std::string::npos);
  session.setup();
  std::vector<float> back(3);
  session.read_model_tensor("computed", back.data(), back.size() * sizeof(float));
  EXPECT_EQ(back, values);
  EXPECT_EQ(error_text([&] { session.read_model_tensor("computed", back.data(), 11); }),
            "Session::read_model_tensor('computed'): buffer too small (have 11, need 12)");
  EXPECT_EQ(error_text([&] { session.read_model_tensor("nope", back.data(), 12); }), "tensor nope not found");
}

// ---------------------------------------------------------------------------
// Inputs and outputs

// A session on the CPU whose weight "w" [12] holds `w` and whose graph is y = x + w.
struct AddSession {
  explicit AddSession(const std::vector<float>& w) : weights(w) {
    module.define = [](Session* s) { s->model_container->create_tensor_1d("w", GGML_TYPE_F32, 12); };
    module.fill = [this](Session* s) {
      ggml_backend_tensor_set(s->model_container->get_tensor_by_name("w").tensor, weights.data(), 0, 48);
    };
    module.build = [](Session* s, TensorBag& in, TensorContainer* rc) {
      ggml_bf_tensor w = s->model_container->get_tensor_by_name("w");
      ggml_bf_tensor x = in.get_tensor(0);
      // x: [12], w: [12] -> y: [12]
      ggml_tensor* y = ggml_add(rc->get_ctx_of_buffer_type(w.buft).ctx, x.tensor, w.tensor);
      ggml_set_name(y, "y");
      rc->cache_tensor("y.cached", {y, w.buft});
      TensorBag out;
      out.add_tensor({y, w.buft});
      return out;
    };
    session = std::make_unique<Session>(*manager, &module, nullptr);
    session->setup();
  }
  std::vector<float> weights;
  std::unique_ptr<BackendManager> manager = kestrix_test::cpu_manager();
  FnModule module;
  std::unique_ptr<Session> session;
};

TEST(SessionInputs, HostRunAndReadBack) {
  const std::vector<float> w = kestrix_test::random_floats(12, 7);
  const std::vector<float> x = kestrix_test::random_floats(12, 8);
  AddSession s(w);
  std::vector<float> y(12, -99.0f), x_back(12, -99.0f), y_named(12, -99.0f);
  std::vector<Session::Output> outputs = {host_output(0, y.data(), 12)};
  Session::Output by_name;
  by_name.name = "x";
  by_name.data = x_back.data();
  by_name.size = 48;
  outputs.push_back(by_name);
  by_name.name = "y.cached";
  by_name.data = y_named.data();
  outputs.push_back(by_name);
  s.session->run({host_input("x", x.data(), {12})}, outputs);
  // One F32 addition per element: the graph's sum is the correctly rounded
  // float of the exact double sum.
  for (size_t i = 0; i < 12; ++i) {
    const float expected = static_cast<float>(static_cast<double>(x[i]) + static_cast<double>(w[i]));
    EXPECT_EQ(y[i], expected) << i;
    EXPECT_EQ(y_named[i], expected) << i;
    EXPECT_EQ(x_back[i], x[i]) << i;
  }
  for (const Session::Output& out : outputs) {
    EXPECT_EQ(out.ne[0], 12);
    EXPECT_EQ(out.ne[1], 1);
    EXPECT_EQ(out.ne[2], 1);
    EXPECT_EQ(out.ne[3], 1);
  }
}

TEST(SessionInputs, InputErrors) {
  const std::vector<float> w(12, 1.0f);
  AddSession s(w);
  std::vector<float> x(16, 0.0f), y(12);
  alignas(64) static float source[12];
  // A source tensor of 48 bytes for device bindings.
  ggml_init_params params = {ggml_tensor_overhead() * 2, nullptr, true};
  std::unique_ptr<ggml_context, ggml_context_deleter> ctx(ggml_init(params));
  ggml_tensor* src = ggml_new_tensor_1d(ctx.get(), GGML_TYPE_F32, 12);
  std::unique_ptr<ggml_backend_buffer, ggml_backend_buffer_deleter> buffer(
      ggml_backend_cpu_buffer_from_ptr(source, sizeof(source)));
  ASSERT_EQ(ggml_backend_tensor_alloc(buffer.get(), src, source), GGML_STATUS_SUCCESS);
  DeviceTensor good{src, ggml_backend_cpu_buffer_type(), 0};
  DeviceTensor null_tensor{nullptr, ggml_backend_cpu_buffer_type(), 0};
  DeviceTensor other_buft{src, ggml_backend_buffer_get_type(buffer.get()), 0};

  auto in = [&](std::vector<int64_t> shape) { return host_input("x", x.data(), std::move(shape)); };
  auto device_in = [&](std::vector<int64_t> shape, DeviceTensor* d, bool upload = false) {
    Session::Input i = in(std::move(shape));
    i.device = d;
    i.upload = upload;
    i.data = nullptr;
    return i;
  };
  Session::Input persistent = in({4});
  persistent.name = "w";
  persistent.persistent = true;
  Session::Input persistent_device = persistent;
  persistent_device.upload = false;
  persistent_device.device = &good;
  Session::Input null_data = in({12});
  null_data.data = nullptr;
  Session::Input bad_type = in({12});
  bad_type.dtype = GGML_TYPE_COUNT;
  Session::Input q8 = in({33});
  q8.dtype = GGML_TYPE_Q8_0;

  struct Case {
    const char* what;
    Session::Input input;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no extents", in({}), "Session::Input 'x': shape rank 0 unsupported (need 1..4)"},
      {"five extents", in({12, 1, 1, 1, 1}), "Session::Input 'x': shape rank 5 unsupported (need 1..4)"},
      {"zero extent", in({12, 0}), "Session::Input 'x': extent 1 is 0 (need >= 1)"},
      {"negative extent", in({-12}), "Session::Input 'x': extent 0 is -12 (need >= 1)"},
      // 2^32 * 2^29 floats are 2^63 bytes, 2^32 * 2^32 are 2^64 elements: the
      // sizes must not wrap to small ones.
      {"bytes beyond 64-bit sizes", in({int64_t{1} << 32, int64_t{1} << 29}),
       "Session::Input 'x': extents [4294967296, 536870912] hold more bytes than 64-bit sizes can count"},
      {"elements beyond 64-bit sizes", in({int64_t{1} << 32, int64_t{1} << 32}),
       "Session::Input 'x': extents [4294967296, 4294967296] hold more bytes than 64-bit sizes can count"},
      {"unknown type", bad_type,
       "Session::Input 'x': unsupported element type " + std::to_string(static_cast<int>(GGML_TYPE_COUNT))},
      {"partial quantised block", q8,
       "Session::Input 'x': extent 0 (33) is not a multiple of the block size 32 of q8_0"},
      {"null host data", null_data, "Session::Input 'x': host data is null"},
      {"persistent of another size", persistent,
       "Session::Input 'w': host size 16 != declared tensor size 48"},
      {"persistent and device", persistent_device,
       "Session::Input 'w': persistent and device bindings are mutually exclusive"},
      {"device and upload", device_in({12}, &good, true),
       "Session::Input 'x': device input cannot be persistent or uploaded"},
      {"device without tensor", device_in({12}, &null_tensor),
       "Session::Input 'x': invalid device tensor handle"},
      {"device range one byte past",
       [&] {
         Session::Input i = device_in({11}, &good);
         static DeviceTensor shifted;
         shifted = good;
         shifted.offset = 5;
         i.device = &shifted;
         return i;
       }(),
       "Session::Input 'x': device range [5, 49) exceeds source size 48"},
      {"device offset beyond the source",
       [&] {
         Session::Input i = device_in({1}, &good);
         static DeviceTensor beyond;
         beyond = good;
         beyond.offset = 52;
         i.device = &beyond;
         return i;
       }(),
       "Session::Input 'x': device range [52, 56) exceeds source size 48"},
      {"device buffer type", device_in({12}, &other_buft),
       "Session::Input 'x': device buffer type does not match session placement"},
  };
  for (const Case& c : cases) {
    std::vector<Session::Output> outputs = {host_output(0, y.data(), 12)};
    EXPECT_EQ(error_of_type<std::runtime_error>([&] { s.session->run({c.input}, outputs); }), c.message)
        << c.what;
  }
  EXPECT_EQ(s.session->cached_graph_count(), 0u);  // no failed build stays

  // A dtype mismatch of the binding.
  Session::Input as_f16 = device_in({24}, &good);
  as_f16.dtype = GGML_TYPE_F16;
  std::vector<Session::Output> outputs = {host_output(0, y.data(), 12)};
  EXPECT_EQ(error_text([&] { s.session->run({as_f16}, outputs); }),
            "Session::Input 'x': invalid device tensor or dtype mismatch");

  // The range boundary: ending exactly at the source size is accepted.
  for (size_t i = 0; i < 12; ++i) source[i] = static_cast<float>(i);
  DeviceTensor tail = good;
  tail.offset = 4;
  Session::Input tail_in = device_in({11}, &tail);
  FnModule& m = s.module;
  m.build = kestrix_test::add_scalar_graph(0.5f);
  std::vector<float> y11(11);
  outputs = {host_output(0, y11.data(), 11)};
  s.session->run({tail_in}, outputs);
  for (size_t i = 0; i < 11; ++i) EXPECT_EQ(y11[i], static_cast<float>(i + 1) + 0.5f) << i;
}

TEST(SessionOutputs, OutputErrorsAndDeviceOnly) {
  const std::vector<float> w = kestrix_test::random_floats(12, 9);
  const std::vector<float> x = kestrix_test::random_floats(12, 10);
  AddSession s(w);
  std::vector<float> y(13, -7.0f);
  auto out = [&](int32_t index, const std::string& name, size_t size) {
    Session::Output o;
    o.index = index;
    o.name = name;
    o.data = y.data();
    o.size = size;
    return o;
  };
  Session::Output no_destination = out(0, "", 48);
  no_destination.data = nullptr;
  struct Case {
    const char* what;
    Session::Output output;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"index and name", out(0, "y.cached", 48),
       "Session::Output: exactly one of `index` (>=0) or `name` must be set"},
      {"neither", out(-1, "", 48), "Session::Output: exactly one of `index` (>=0) or `name` must be set"},
      {"index past the end", out(1, "", 48), "Session::Output index 1 out of range (graph has 1 outputs)"},
      {"unknown name", out(-1, "zzz", 48), "tensor zzz not found"},
      {"no destination", no_destination,
       "Session::Output requires a host buffer or a device tensor destination"},
      {"one byte short", out(0, "", 47), "Session::Output buffer too small for tensor (have 47, need 48)"},
  };
  const std::vector<Session::Input> inputs = {host_input("x", x.data(), {12})};
  for (const Case& c : cases) {
    std::vector<Session::Output> outputs = {c.output};
    EXPECT_EQ(error_of_type<std::runtime_error>([&] { s.session->run(inputs, outputs); }), c.message)
        << c.what;
    EXPECT_EQ(s.session->cached_graph_count(), 0u) << c.what;  // the failed first run left no entry
  }
  std::vector<Session::Output> exact = {out(0, "", 48)};
  s.session->run(inputs, exact);
  EXPECT_EQ(y[12], -7.0f);  // nothing written past the tensor

  // A device-only output: data untouched, extents written, no host copy.
  DeviceTensor device;
  Session::Output device_only;
  device_only.index = 0;
  device_only.device = &device;
  std::vector<Session::Output> outputs = {device_only};
  s.session->run(inputs, outputs);
  EXPECT_EQ(outputs[0].data, nullptr);
  EXPECT_EQ(outputs[0].ne[0], 12);
  ASSERT_NE(device.tensor, nullptr);
  EXPECT_EQ(device.buft, ggml_backend_cpu_buffer_type());
  EXPECT_EQ(device.offset, 0u);
  std::vector<float> on_device(12);
  ggml_backend_tensor_get(device.tensor, on_device.data(), 0, 48);
  for (size_t i = 0; i < 12; ++i) {
    EXPECT_EQ(on_device[i], static_cast<float>(static_cast<double>(x[i]) + static_cast<double>(w[i]))) << i;
  }
  const Session::CachedRun* entry = s.session->find_cached_run(s.session->graph_key(inputs));
  ASSERT_NE(entry, nullptr);
  EXPECT_FALSE(s.session->read_outputs(outputs, entry->outputs, entry->container.get()));
  std::vector<Session::Output> host = {out(0, "", 48)};
  EXPECT_TRUE(s.session->read_outputs(host, entry->outputs, entry->container.get()));
}

TEST(SessionInputs, UploadFlagsPersistentAndUnwritten) {
  const std::vector<float> w = kestrix_test::random_floats(12, 11);
  const std::vector<float> x = kestrix_test::random_floats(12, 12);
  AddSession s(w);
  std::vector<float> y(12);
  std::vector<Session::Output> outputs = {host_output(0, y.data(), 12)};

  // A persistent input writes the weight itself; sync and async uploads agree.
  const std::vector<float> new_w = kestrix_test::random_floats(12, 13);
  Session::Input weight = host_input("w", new_w.data(), {12});
  weight.persistent = true;
  weight.sync_upload = true;
  s.session->run({host_input("x", x.data(), {12}), weight}, outputs);
  for (size_t i = 0; i < 12; ++i) {
    EXPECT_EQ(y[i], static_cast<float>(static_cast<double>(x[i]) + static_cast<double>(new_w[i]))) << i;
  }
  std::vector<float> stored(12);
  s.session->read_model_tensor("w", stored.data(), 48);
  EXPECT_EQ(stored, new_w);

  // upload false: declared, never written; the graph reads what its buffer holds.
  Session::Input unwritten = host_input("x", nullptr, {12});
  unwritten.upload = false;
  const std::vector<Session::Input> first = {host_input("x", x.data(), {12})};
  s.session->run(first, outputs);
  const Session::CachedRun* entry = s.session->find_cached_run(s.session->graph_key(first));
  ASSERT_NE(entry, nullptr);
  const std::vector<float> marker(12, 3.0f);
  ggml_backend_tensor_set(entry->inputs.tensors[0].tensor, marker.data(), 0, 48);
  s.session->run({unwritten}, outputs);  // same key: the cached input tensor keeps the marker
  for (size_t i = 0; i < 12; ++i) {
    EXPECT_EQ(y[i], static_cast<float>(3.0 + static_cast<double>(new_w[i]))) << i;
  }
}

TEST(SessionInputs, DeviceInputFromAnotherSessionIsReboundEachRun) {
  const std::vector<float> w1 = kestrix_test::random_floats(12, 14);
  const std::vector<float> x = kestrix_test::random_floats(12, 15);
  AddSession producer(w1);
  DeviceTensor produced;
  Session::Output to_device;
  to_device.index = 0;
  to_device.device = &produced;
  std::vector<Session::Output> produced_out = {to_device};
  producer.session->run({host_input("x", x.data(), {12})}, produced_out);

  const std::vector<float> w2 = kestrix_test::random_floats(12, 16);
  AddSession consumer(w2);
  Session::Input bound = host_input("x", nullptr, {12});
  bound.upload = false;
  bound.device = &produced;
  std::vector<float> y(12);
  std::vector<Session::Output> outputs = {host_output(0, y.data(), 12)};
  consumer.session->run({bound}, outputs);
  for (size_t i = 0; i < 12; ++i) {
    const double expected_first = static_cast<double>(static_cast<float>(static_cast<double>(x[i]) + w1[i]));
    EXPECT_EQ(y[i], static_cast<float>(expected_first + w2[i])) << i;
  }

  // Two buffer objects over the same memory: the second run has the same key
  // (same address) and must use the new buffer, not the freed one.
  alignas(64) static float memory[12];
  ggml_init_params params = {ggml_tensor_overhead() * 2, nullptr, true};
  std::unique_ptr<ggml_context, ggml_context_deleter> ctx(ggml_init(params));
  ggml_tensor* t = ggml_new_tensor_1d(ctx.get(), GGML_TYPE_F32, 12);
  for (size_t i = 0; i < 12; ++i) memory[i] = static_cast<float>(i);
  auto* first = ggml_backend_cpu_buffer_from_ptr(memory, sizeof(memory));
  ASSERT_EQ(ggml_backend_tensor_alloc(first, t, memory), GGML_STATUS_SUCCESS);
  DeviceTensor host_bound{t, ggml_backend_cpu_buffer_type(), 0};
  bound.device = &host_bound;
  const std::vector<Session::Input> inputs = {bound};
  consumer.session->run(inputs, outputs);
  for (size_t i = 0; i < 12; ++i) EXPECT_EQ(y[i], static_cast<float>(static_cast<double>(i) + w2[i])) << i;
  const int builds = consumer.module.build_calls;

  // The new buffer is made before the old one is freed, so the two are distinct objects.
  std::unique_ptr<ggml_backend_buffer, ggml_backend_buffer_deleter> second(
      ggml_backend_cpu_buffer_from_ptr(memory, sizeof(memory)));
  ASSERT_NE(second.get(), first);
  ggml_backend_buffer_free(first);
  t->buffer = nullptr;
  t->data = nullptr;
  ASSERT_EQ(ggml_backend_tensor_alloc(second.get(), t, memory), GGML_STATUS_SUCCESS);
  for (size_t i = 0; i < 12; ++i) memory[i] = static_cast<float>(2 * i);
  consumer.session->run(inputs, outputs);
  EXPECT_EQ(consumer.module.build_calls, builds);  // a cache hit
  const Session::CachedRun* entry = consumer.session->find_cached_run(consumer.session->graph_key(inputs));
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->inputs.tensors[0].tensor->buffer, second.get());
  for (size_t i = 0; i < 12; ++i)
    EXPECT_EQ(y[i], static_cast<float>(static_cast<double>(2 * i) + w2[i])) << i;
}

// ---------------------------------------------------------------------------
// State tensors

// A running sum: y = x + acc, then acc <- y. State "acc" [4] F32, plus an
// unused 2-D state "grid" [3, 5].
struct StateSession {
  StateSession() {
    module.define = [](Session* s) {
      s->create_state_tensor_1d("acc", GGML_TYPE_F32, 4);
      s->create_state_tensor_2d("grid", GGML_TYPE_F32, 3, 5);
      EXPECT_EQ(error_text([s] { s->create_state_tensor_3d("acc", GGML_TYPE_F32, 1, 1, 1); }),
                "duplicate tensor name declared: acc");
    };
    module.build = [](Session* s, TensorBag& in, TensorContainer* rc) {
      ggml_bf_tensor acc = s->state_templates()->get_tensor_by_name("acc");
      ggml_bf_tensor x = in.get_tensor(0);
      ggml_context* ctx = rc->get_ctx_of_buffer_type(x.buft).ctx;
      // x: [4], acc: [4] -> y: [4]; the copy writes y into a view of acc.
      ggml_tensor* y = ggml_add(ctx, x.tensor, acc.tensor);
      ggml_set_name(y, "y");
      ggml_tensor* store = ggml_cpy(ctx, y, ggml_view_1d(ctx, acc.tensor, 4, 0));
      TensorBag out;
      out.add_tensor({y, x.buft});
      out.add_tensor({store, x.buft});
      return out;
    };
    session = std::make_unique<Session>(*manager, &module, nullptr);
    session->setup();
  }
  std::vector<float> run(const std::vector<float>& x, SessionState* state) {
    std::vector<float> y(4);
    std::vector<Session::Output> outputs = {host_output(0, y.data(), 4)};
    session->run({host_input("x", x.data(), {4})}, outputs, state);
    return y;
  }
  std::unique_ptr<BackendManager> manager = kestrix_test::cpu_manager();
  FnModule module;
  std::unique_ptr<Session> session;
};

std::vector<float> state_values(SessionState& state, const std::string& name) {
  ggml_tensor* t = state.container->get_tensor_by_name(name).tensor;
  std::vector<float> v(ggml_nelements(t));
  ggml_backend_tensor_get(t, v.data(), 0, ggml_nbytes(t));
  return v;
}

TEST(SessionState, DeclaredZeroedAndKeptPerStream) {
  StateSession s;
  const auto& declared = s.session->state_declarations();
  ASSERT_EQ(declared.size(), 2u);  // the refused duplicate declared nothing
  EXPECT_EQ(declared[1].name, "grid");
  EXPECT_EQ(declared[1].rank, 2);
  EXPECT_EQ(std::vector<int64_t>(declared[1].ne, declared[1].ne + 4), (std::vector<int64_t>{3, 5, 1, 1}));

  SessionState a = s.session->make_session_state();
  SessionState b = s.session->make_session_state();
  EXPECT_EQ(state_values(a, "grid"), std::vector<float>(15, 0.0f));
  EXPECT_EQ(state_values(a, "acc"), std::vector<float>(4, 0.0f));

  const std::vector<float> x1 = kestrix_test::random_floats(4, 17);
  const std::vector<float> x2 = kestrix_test::random_floats(4, 18);
  const std::vector<float> x3 = kestrix_test::random_floats(4, 19);
  // Stream a: x1, then x2 (y = x2 + x1); stream b only x3 (y = x3 + 0).
  // Each sum is one F32 addition, the correctly rounded double sum.
  EXPECT_EQ(s.run(x1, &a), x1);
  EXPECT_EQ(s.run(x3, &b), x3);
  const std::vector<float> y2 = s.run(x2, &a);
  for (size_t i = 0; i < 4; ++i)
    EXPECT_EQ(y2[i], static_cast<float>(static_cast<double>(x2[i]) + x1[i])) << i;
  EXPECT_EQ(state_values(a, "acc"), y2);
  EXPECT_EQ(state_values(b, "acc"), x3);
  EXPECT_EQ(s.module.build_calls, 2);  // one graph serves both streams
  const std::vector<float> direct_view_check = s.run(x1, &b);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(direct_view_check[i], static_cast<float>(static_cast<double>(x1[i]) + x3[i])) << i;
  }

  s.session->reset_session_state(a);
  EXPECT_EQ(state_values(a, "acc"), std::vector<float>(4, 0.0f));
  EXPECT_EQ(s.run(x2, &a), x2);

  SessionState invalid;
  EXPECT_EQ(error_of_type<std::invalid_argument>([&] { s.session->reset_session_state(invalid); }),
            "Session::reset_session_state: invalid handle");
  // The graph reads state: a run without one is refused, and the entry stays usable.
  EXPECT_EQ(error_text([&] { s.run(x1, nullptr); }),
            "Session::run: the graph reads state tensors but no SessionState was given");
  EXPECT_EQ(s.run(x1, &b).size(), 4u);
}

TEST(SessionState, StateViewsOfAGraph) {
  StateSession s;
  const std::vector<float> x(4, 1.0f);
  SessionState state = s.session->make_session_state();
  s.run(x, &state);
  const Session::CachedRun* entry =
      s.session->find_cached_run(s.session->graph_key({host_input("x", x.data(), {4})}));
  ASSERT_NE(entry, nullptr);
  // The view that the copy writes into, and the copy itself (a view of its destination).
  ASSERT_EQ(entry->state_views.size(), 2u);
  EXPECT_EQ(entry->state_views[0]->op, GGML_OP_VIEW);
  EXPECT_EQ(entry->state_views[1]->op, GGML_OP_CPY);
  EXPECT_TRUE(entry->reads_state);
  EXPECT_FALSE(entry->direct);

  // A view of a view is listed as well; the template itself and plain operations are not.
  ggml_tensor* acc = s.session->state_templates()->get_tensor_by_name("acc").tensor;
  ggml_init_params params = {ggml_tensor_overhead() * 16 + ggml_graph_overhead(), nullptr, true};
  std::unique_ptr<ggml_context, ggml_context_deleter> ctx(ggml_init(params));
  ggml_tensor* v1 = ggml_view_1d(ctx.get(), acc, 2, 0);
  ggml_tensor* v2 = ggml_view_1d(ctx.get(), v1, 1, 0);
  ggml_tensor* sum = ggml_add(ctx.get(), acc, acc);
  ggml_tensor* other = ggml_scale(ctx.get(), sum, 2.0f);
  ggml_cgraph* graph = ggml_new_graph(ctx.get());
  ggml_build_forward_expand(graph, v2);
  ggml_build_forward_expand(graph, other);
  std::vector<ggml_tensor*> views = {nullptr};
  s.session->collect_state_views(graph, views);
  EXPECT_EQ(views, (std::vector<ggml_tensor*>{v1, v2}));
}

TEST(SessionState, SessionWithoutStateSpecs) {
  AddSession s(std::vector<float>(12, 0.0f));
  SessionState state = s.session->make_session_state();
  ASSERT_NE(state.container, nullptr);
  EXPECT_TRUE(state.container->tensors().empty());
  EXPECT_EQ(state.container->buffer_count(), 0u);
  s.session->reset_session_state(state);
  const std::vector<float> x(12, 2.0f);
  std::vector<float> y(12);
  std::vector<Session::Output> outputs = {host_output(0, y.data(), 12)};
  s.session->run({host_input("x", x.data(), {12})}, outputs, &state);
  EXPECT_EQ(y, std::vector<float>(12, 2.0f));
  const Session::CachedRun* entry =
      s.session->find_cached_run(s.session->graph_key({host_input("x", x.data(), {12})}));
  ASSERT_NE(entry, nullptr);
  EXPECT_TRUE(entry->state_views.empty());
  EXPECT_FALSE(entry->reads_state);
}

// ---------------------------------------------------------------------------
// The memory-statistics switch is read once per process: it runs in a child.

void memstats_setup_child() {
  setenv("OLVAN_SPEECH_MEMSTATS", "", 1);
  AddSession s(std::vector<float>(12, 0.0f));
  std::exit(0);
}

TEST(SessionMemstats, SetupLinesWithEmptyValue) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(memstats_setup_child(), testing::ExitedWithCode(0),
              "^\\[memstats\\] session-init sched_graph_size=65536\n"
              "\\[memstats\\] model-container device=0\\.00 MB\n$");
}

}  // namespace
