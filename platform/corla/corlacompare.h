/* Comparing the module's stored calibration with a calibration of ours:
 * SUMS of every block, then READ of only the blocks that differ. */
#ifndef CORLACOMPARE_H
#define CORLACOMPARE_H

#include "corla.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Replaces what ical holds with the calibration the module has stored. Blocks
 * whose CRC-32 (SUMS) equals that of ical's bytes keep ical's bytes; only the
 * others are read (READ). The result is checked against the stored length and
 * CRC-32 of IDENTIFY (status 8 otherwise). A module from before SUMS has every
 * block read; one from before READ gives status 13. A module holding nothing
 * gives an empty calibration and status 0. Null when ical is null. */
CorlaEcuTxn *CORLA_EcuTxn_CompareCal_Create(CorlaICal *ical);

/* After a compare transaction finished with status 0: how many bytes it read
 * (0 when every block agreed); -1 otherwise. */
int32_t CORLA_EcuTxn_GetBytesRead(const CorlaEcuTxn *txn);

#ifdef __cplusplus
}
#endif

#endif
