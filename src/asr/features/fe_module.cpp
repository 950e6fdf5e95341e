#include "asr/features/fe_module.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "ggml-backend.h"
#include "runtime/ggml/session.h"

namespace {

using ggml_runtime::ggml_bf_tensor;
using ggml_runtime::Session;
using ggml_runtime::TensorBag;
using ggml_runtime::TensorContainer;

constexpr double kTwoPi = 6.283185307179586476925286766559;

// Double sine and cosine of x from one call where the platform has one: the C
// library names it __sincos on Apple platforms and sincos on glibc.
void sincos_f64(double x, double* s, double* c) {
#if defined(__APPLE__)
  __sincos(x, s, c);
#elif defined(__GLIBC__)
  ::sincos(x, s, c);
#else
  *s = std::sin(x);
  *c = std::cos(x);
#endif
}

// The frame hop, derived exactly as the CPU path derives it.
int32_t hop_of(const MelSpecConfig& cfg) {
  return static_cast<int32_t>(std::fmaf(cfg.window_stride, static_cast<float>(cfg.sample_rate), 0.5f));
}

void write_all(Session* session, const char* name, const std::vector<float>& values) {
  ggml_tensor* t = session->model_container->get_tensor_by_name(name).tensor;
  if (values.size() * sizeof(float) != ggml_nbytes(t)) {
    throw std::runtime_error(std::string("FeModule: ") + name + " holds " + std::to_string(ggml_nbytes(t)) +
                             " bytes, " + std::to_string(values.size() * sizeof(float)) + " given");
  }
  ggml_backend_tensor_set(t, values.data(), 0, ggml_nbytes(t));
}

}  // namespace

FeModule::FeModule(const MelSpecConfig& cfg, const std::vector<float>& window_in,
                   const std::vector<float>& mel_basis_in)
    : config(cfg), n_bins(cfg.n_fft / 2 + 1), mel_basis(mel_basis_in) {
  const int32_t n_fft = config.n_fft;
  dft_re.resize(static_cast<size_t>(n_bins) * n_fft);
  dft_im.resize(dft_re.size());
  for (int32_t i = 0; i < n_bins; ++i) {
    const double step = static_cast<double>(i) * kTwoPi;
    for (int32_t j = 0; j < n_fft; ++j) {
      const double theta = static_cast<double>(j) * step / static_cast<double>(n_fft);
      double s = 0.0;
      double c = 0.0;
      sincos_f64(theta, &s, &c);
      dft_re[static_cast<size_t>(i) * n_fft + j] = static_cast<float>(c);
      dft_im[static_cast<size_t>(i) * n_fft + j] = static_cast<float>(-s);
    }
  }

  window.assign(static_cast<size_t>(n_fft), 0.0f);
  const int64_t win_length = static_cast<int64_t>(window_in.size());
  const int64_t offset = config.center_window ? (n_fft - win_length) / 2 : 0;
  for (int64_t i = 0; i < win_length; ++i) {
    const int64_t at = offset + i;
    if (at >= 0 && at < n_fft) window[static_cast<size_t>(at)] = window_in[static_cast<size_t>(i)];
  }

  im2col_kernel.assign(static_cast<size_t>(n_fft), 0.0f);
}

void FeModule::define_tensors(Session* session) {
  TensorContainer& weights = *session->model_container;
  const int64_t n_fft = config.n_fft;
  weights.create_tensor_2d("fe.dft_re", GGML_TYPE_F32, n_fft, n_bins);
  weights.create_tensor_2d("fe.dft_im", GGML_TYPE_F32, n_fft, n_bins);
  weights.create_tensor_1d("fe.window", GGML_TYPE_F32, n_fft);
  weights.create_tensor_2d("fe.mel_basis", GGML_TYPE_F32, n_bins, config.n_mels);
  weights.create_tensor_3d("fe.im2col_kernel", GGML_TYPE_F32, n_fft, 1, 1);
}

TensorBag FeModule::build_graph(Session* session, TensorBag inputs, TensorContainer* run_container) {
  const ggml_bf_tensor audio = inputs.get_tensor(0);
  ggml_tensor* x = audio.tensor;  // [c, channels, B]
  const int64_t n_fft = config.n_fft;
  const int pad = x->ne[1] == 2 ? static_cast<int>(n_fft / 2) : 0;
  ggml_context* ctx = run_container->get_ctx_of_buffer_type(audio.buft).ctx;

  TensorContainer& weights = *session->model_container;
  ggml_tensor* dft_re_t = weights.get_tensor_by_name("fe.dft_re").tensor;         // [n_fft, n_bins]
  ggml_tensor* dft_im_t = weights.get_tensor_by_name("fe.dft_im").tensor;         // [n_fft, n_bins]
  ggml_tensor* window_t = weights.get_tensor_by_name("fe.window").tensor;         // [n_fft]
  ggml_tensor* mel_t = weights.get_tensor_by_name("fe.mel_basis").tensor;         // [n_bins, n_mels]
  ggml_tensor* kernel_t = weights.get_tensor_by_name("fe.im2col_kernel").tensor;  // [n_fft, 1, 1]

  // rows: [c, 1, B], the sample row of every item
  ggml_tensor* rows = ggml_view_3d(ctx, x, x->ne[0], 1, x->ne[2], x->nb[1], x->nb[2], 0);
  ggml_set_name(rows, "fe.rows");
  // frames: [n_fft, n_frames, B], n_frames = (c + 2 pad - n_fft) / hop + 1
  ggml_tensor* frames =
      ggml_im2col(ctx, kernel_t, rows, hop_of(config), 0, pad, 0, 1, 0, false, GGML_TYPE_F32);
  ggml_set_name(frames, "fe.frames");
  // windowed: [n_fft, n_frames, B]
  ggml_tensor* windowed = ggml_mul(ctx, frames, ggml_reshape_2d(ctx, window_t, n_fft, 1));
  ggml_set_name(windowed, "fe.windowed");
  // re, im, power: [n_bins, n_frames, B]
  ggml_tensor* re = ggml_mul_mat(ctx, dft_re_t, windowed);
  ggml_set_name(re, "fe.re");
  ggml_tensor* im = ggml_mul_mat(ctx, dft_im_t, windowed);
  ggml_set_name(im, "fe.im");
  ggml_tensor* power = ggml_add(ctx, ggml_sqr(ctx, re), ggml_sqr(ctx, im));
  ggml_set_name(power, "fe.power");
  // mel: [n_mels, n_frames, B]
  ggml_tensor* mel = ggml_mul_mat(ctx, mel_t, power);
  ggml_set_name(mel, "fe.mel");
  ggml_tensor* log_mel = ggml_log(ctx, ggml_scale_bias(ctx, mel, 1.0f, config.log_zero_guard));
  ggml_set_name(log_mel, "log_mel");

  TensorBag out;
  out.add_tensor({log_mel, audio.buft});
  return out;
}

void FeModule::set_data(Session* session) { upload_static_weights(session); }

void FeModule::upload_static_weights(Session* session) {
  write_all(session, "fe.dft_re", dft_re);
  write_all(session, "fe.dft_im", dft_im);
  write_all(session, "fe.window", window);
  write_all(session, "fe.mel_basis", mel_basis);
  write_all(session, "fe.im2col_kernel", im2col_kernel);
}

void FeModule::update_mel_basis(Session* session, const float* data, int n_mels, int n_bins_in) {
  mel_basis.assign(data, data + static_cast<size_t>(n_mels) * static_cast<size_t>(n_bins_in));
  write_all(session, "fe.mel_basis", mel_basis);
}

// ---------------------------------------------------------------------------
// The extractor's graph path and its batcher.

MelSpectrogramExtractor::GpuBatcher::GpuBatcher(const MelSpectrogramExtractor* owner_in,
                                                const olvan_speech::asr::BatchingConfig& cfg)
    : owner(owner_in), micro(cfg, [this](const Key&, std::vector<BatchRequest>&& requests) {
        return owner->compute_gpu_batch_via_session(std::move(requests));
      }) {}

MelSpectrogramExtractor::BatchResult MelSpectrogramExtractor::GpuBatcher::run(const float* samples,
                                                                              size_t padded_len,
                                                                              size_t valid_len, bool center,
                                                                              bool normalize) {
  BatchRequest request;
  request.audio.assign(samples, samples + padded_len);
  request.valid_len = valid_len;
  request.center = center;
  request.normalize = normalize;
  Key key{padded_len, center, normalize};
  return micro.run(key, std::move(request), olvan_speech::asr::g_batch_cohort_target);
}

void MelSpectrogramExtractor::compute_gpu_via_session(const float* samples, size_t padded_len,
                                                      size_t valid_len, std::vector<float>& out,
                                                      int64_t& n_frames, bool center, bool normalize) const {
  std::vector<BatchRequest> requests(1);
  requests[0].audio.assign(samples, samples + padded_len);
  requests[0].valid_len = valid_len;
  requests[0].center = center;
  requests[0].normalize = normalize;
  std::vector<BatchResult> results = compute_gpu_batch_via_session(std::move(requests));
  out = std::move(results[0].mel);
  n_frames = results[0].n_frames;
}

std::vector<MelSpectrogramExtractor::BatchResult> MelSpectrogramExtractor::compute_gpu_batch_via_session(
    std::vector<BatchRequest>&& requests) const {
  if (requests.empty()) return {};
  if (session_ == nullptr) throw std::logic_error("MelSpectrogramExtractor: no feature graph was built");

  const bool center = requests[0].center;
  const bool requested_normalize = requests[0].normalize;
  const bool do_normalize = requested_normalize && config_.normalize;
  const int64_t len = static_cast<int64_t>(requests[0].audio.size());
  const int64_t half = config_.n_fft / 2;
  const int64_t hop = hop_;
  const int64_t channels = center ? 2 : 1;
  const int64_t batch = static_cast<int64_t>(requests.size());

  // The row holds one zero after the padded samples.
  const int64_t row = (center ? 0 : half) + len + 1;
  const int64_t d = ((center ? 2 * half : 0) - config_.n_fft + row) / hop;  // truncates toward zero

  std::vector<BatchResult> results(requests.size());
  if (d < 0) return results;
  const int64_t frames = d + 1;
  const size_t n_mels = static_cast<size_t>(config_.n_mels);

  // input: [row, channels, B], the samples in row 0 of each item
  std::vector<float> input(static_cast<size_t>(batch * channels * row), 0.0f);
  for (size_t i = 0; i < requests.size(); ++i) {
    const BatchRequest& r = requests[i];
    if (static_cast<int64_t>(r.audio.size()) != len || r.valid_len > r.audio.size() ||
        r.center != center || r.normalize != requested_normalize) {
      throw std::runtime_error("GPU frontend batch contains incompatible inputs");
    }
    float* dst = input.data() + i * static_cast<size_t>(channels * row);
    const float* a = r.audio.data();
    if (r.valid_len > 0) {
      dst[0] = a[0];
      if (config_.preemph != 0.0f) {
        for (size_t j = 1; j < r.valid_len; ++j) dst[j] = std::fmaf(-config_.preemph, a[j - 1], a[j]);
      } else {
        std::copy(a + 1, a + r.valid_len, dst + 1);
      }
    }
  }

  // output: [n_mels, frames, B]
  std::vector<float> output(static_cast<size_t>(batch * frames) * n_mels, 0.0f);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Session::Input> inputs(1);
    inputs[0].name = "fe.in.audio";
    inputs[0].dtype = GGML_TYPE_F32;
    inputs[0].data = input.data();
    inputs[0].shape = {row, channels, batch};
    std::vector<Session::Output> outputs(1);
    outputs[0].index = 0;
    outputs[0].data = output.data();
    outputs[0].size = output.size() * sizeof(float);
    session_->run(inputs, outputs, nullptr);
    if (outputs[0].ne[2] != batch) throw std::runtime_error("GPU frontend graph lost its batch dimension");
  }

  const size_t per_request = static_cast<size_t>(frames) * n_mels;
  for (size_t j = 0; j < results.size(); ++j) {
    results[j].n_frames = frames;
    results[j].mel.assign(output.begin() + static_cast<std::ptrdiff_t>(j * per_request),
                          output.begin() + static_cast<std::ptrdiff_t>((j + 1) * per_request));
    finish_frames(results[j].mel, static_cast<size_t>(frames), requests[j].valid_len, do_normalize);
  }
  return results;
}

olvan_speech::asr::BatchMetrics MelSpectrogramExtractor::batch_metrics() const {
  return gpu_batcher_ != nullptr ? gpu_batcher_->micro.metrics() : olvan_speech::asr::BatchMetrics{};
}
