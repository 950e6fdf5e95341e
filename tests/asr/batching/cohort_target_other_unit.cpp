// A second translation unit that includes the batcher header, so the test can
// check that both units see the same per-thread cohort target.
#include "asr/batching/micro_batcher.h"

int* cohort_target_address_in_other_unit() { return &olvan_speech::asr::g_batch_cohort_target; }
