// The log-mel computation as one ggml graph: framing by im2col, windowing, a
// DFT by two matrix products, power, the mel product and the logarithm. The
// extractor runs it in a session of its own when it has a GPU backend (or
// when asked to on any backend); tail masking and normalisation follow on the
// host.
//
// Threading: like every module, called by its session only, under the
// backend manager's mutex. update_mel_basis writes a weight tensor and must
// not overlap a run of the session.
#pragma once

#include <cstdint>
#include <vector>

#include "asr/features/fe.h"
#include "runtime/ggml/module.h"

class FeModule : public ggml_runtime::Module {
 public:
  // `window` holds the extractor's win_length values, `mel_basis` its
  // n_mels x n_bins filter bank (row-major); cfg.f_max is already resolved.
  FeModule(const MelSpecConfig& cfg, const std::vector<float>& window, const std::vector<float>& mel_basis);

  // "fe.dft_re", "fe.dft_im" [n_fft, n_bins], "fe.window" [n_fft],
  // "fe.mel_basis" [n_bins, n_mels], "fe.im2col_kernel" [n_fft, 1, 1], all F32.
  void define_tensors(ggml_runtime::Session* session) override;

  // in:  "fe.in.audio" [c, channels, B]; row 0 of each item holds the
  //      samples, a second (zero) row asks for centred frames.
  // out: "log_mel" [n_mels, n_frames, B].
  ggml_runtime::TensorBag build_graph(ggml_runtime::Session* session, ggml_runtime::TensorBag inputs,
                                      ggml_runtime::TensorContainer* run_container) override;

  // Writes the five host tables into their tensors, in declaration order.
  void set_data(ggml_runtime::Session* session) override;
  void upload_static_weights(ggml_runtime::Session* session);

  // Replaces the host copy of the filter bank and the "fe.mel_basis" tensor;
  // graphs already cached read the new values.
  void update_mel_basis(ggml_runtime::Session* session, const float* data, int n_mels, int n_bins);

  MelSpecConfig config;
  int32_t n_bins = 0;
  std::vector<float> dft_re;         // n_bins rows of n_fft values: cos(2 pi i j / n_fft)
  std::vector<float> dft_im;         // n_bins rows of n_fft values: -sin(2 pi i j / n_fft)
  std::vector<float> window;         // n_fft values: the window placed inside the frame, zeros elsewhere
  std::vector<float> mel_basis;      // n_mels x n_bins, row-major
  std::vector<float> im2col_kernel;  // n_fft zeros: only its shape (the frame length) matters
};
