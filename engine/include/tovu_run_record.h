/*
 * tovu_run_record.h - the record of the processes the engine runs, kept in a
 * file so that a run of the program that ends without releasing its engine
 * (killed outright, crashed) leaves behind what it started for the next run
 * to end.
 *
 * The record names each transcoder (and yt-dlp) by its process group, which
 * it leads, with its start time after boot, the boot it ran in and the
 * session of the program: a pid that the system has since given to another
 * process is never taken for one of them.
 */
#ifndef TOVU_RUN_RECORD_H
#define TOVU_RUN_RECORD_H

#ifdef __cplusplus
extern "C" {
#endif

/* From now on the record is kept in the file path (its folder is made,
 * owner-only, when missing): rewritten whole, through a new file renamed
 * over it, at every start and end of a process, readable by its owner only;
 * tovu_free removes it. A null path keeps no record. 0, or -1 when the
 * folder cannot be made or used (errno tells why). */
int tovu_keep_run_record(const char *path);

/* Ends what the record in path, left by an earlier run, names that still
 * runs: each such process group is interrupted (SIGINT to its leader), and
 * what is left of it two seconds later is killed; one message each. The
 * record (and a new one a killed write left) is then removed. Call it only
 * while no other run of the program can be alive (under the instance lock)
 * and before the engine starts anything. Returns how many groups were
 * ended. */
int tovu_end_recorded(const char *path);

#ifdef __cplusplus
}
#endif

#endif /* TOVU_RUN_RECORD_H */
