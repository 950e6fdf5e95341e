// Feature front-end settings shared by the feature tests.
#pragma once

#include "asr/features/fe.h"

namespace kestrix_test {

// What the diarization model builds: centred 25 ms window in a 512-point
// frame, 10 ms hop, pre-emphasis 0.97, normalisation allowed.
inline MelSpecConfig diarizer_config() {
  MelSpecConfig cfg;
  cfg.sample_rate = 16000;
  cfg.n_fft = 512;
  cfg.n_mels = 80;
  cfg.window_size = 0.025f;
  cfg.window_stride = 0.01f;
  cfg.preemph = 0.97f;
  cfg.normalize = true;
  cfg.log_zero_guard = 5.9604645e-8f;
  cfg.f_min = 0.0f;
  cfg.f_max = 0.0f;
  cfg.center_window = true;
  cfg.periodic_window = false;
  cfg.mask_tail = false;
  return cfg;
}

}  // namespace kestrix_test
