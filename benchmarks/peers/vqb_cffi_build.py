"""cffi (API mode, out of line) for the benchmarked library functions.

python vqb_cffi_build.py INCLUDE_DIR LIB_DIR OUT_DIR
"""

import sys

from cffi import FFI

CDEF = """
typedef void (*EventCallback)(const char *msg_type, const void *data, int data_len);
int vqi_poll(void);
void vqi_set_event_callback_pb(EventCallback callback);
int vqi_get_parameters_pb(const char *req, int req_len, const char **res, int *res_len);
int vqi_get_orders_pb(const char *req, int req_len, const char **res, int *res_len);
int vqi_set_backtest_config(const char *start_time, const char *end_time,
                            double initial_cash, double transaction_ratio,
                            double commission_ratio, double commission_unit,
                            double slippage_ratio, double option_float_margin_ratio1,
                            double option_float_margin_ratio2, int adjust,
                            int match_mode, int check_cache);
extern "Python" void callback_wrapper(const char *msg_type, const void *data, int data_len);
"""


def main(include_dir, lib_dir, out_dir):
    ffibuilder = FFI()
    ffibuilder.cdef(CDEF)
    ffibuilder.set_source(
        "_vqb_cffi",
        '#include "vqcsdk.h"',
        include_dirs=[include_dir],
        libraries=["vq3-c"],
        library_dirs=[lib_dir],
        runtime_library_dirs=[lib_dir],
    )
    ffibuilder.compile(tmpdir=out_dir, verbose=True)


if __name__ == "__main__":
    main(*sys.argv[1:4])
