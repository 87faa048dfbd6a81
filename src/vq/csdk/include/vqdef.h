/*
 * vqdef.h - constants shared by the trading library and its clients.
 * Buffer lengths are in bytes and include the terminating NUL.
 */
#ifndef VQDEF_H
#define VQDEF_H

#define LEN_ID           64  /* order, account, strategy and algo ids */
#define LEN_SYMBOL       32  /* exchange-qualified instrument symbol */
#define LEN_NAME         64  /* instrument, algorithm and user names */
#define LEN_EXCHANGE     8   /* exchange code */
#define LEN_FREQUENCY    16  /* bar frequency such as "60s" or "1d" */
#define LEN_ISO_DATATIME 32  /* ISO-8601 date and time */
#define LEN_INFO         256 /* free text: error and status messages */
#define LEN_PARAM        256 /* parameter keys and values */
#define LEN_ADDR         256 /* server addresses */
#define LEN_TOKEN        256 /* tokens and credentials */

#define VQ_SUCCESS 0 /* status of a call that succeeded */

/* run modes of vqi_set_mode */
#define VQ_MODE_LIVE     1
#define VQ_MODE_BACKTEST 2

#endif /* VQDEF_H */
