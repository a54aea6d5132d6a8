/*
 * tovu_proc.h - the engine's child-process runner: one child with its
 * standard input on a pipe and its standard output and error on another,
 * read without blocking, polled for its end.
 */
#ifndef TOVU_PROC_H
#define TOVU_PROC_H

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int TOVU_PIPE;           /* a file descriptor; 0 = no such pipe end */

typedef struct TOVU_PROC_CTX {
    pid_t pid;                   /* running or not yet reaped child; 0 = none */
    TOVU_PIPE pipe_stdin[2];     /* [0] child's stdin, [1] engine's write end */
    TOVU_PIPE pipe_stdout[2];    /* [0] engine's read end (non-blocking), [1] child's stdout+stderr */
    int exit_code;               /* raw wait status of the last child reaped */
    int exec_errno;              /* why the last start's program could not be executed; 0 = it was */
    int pidfd;                   /* process descriptor of a started child; 0 = none */
    pid_t pidfd_pid;             /* the child that pidfd refers to */
} TOVU_PROC_CTX;

int tovu_start_proc(TOVU_PROC_CTX *proc, const char *exe_fname, char *const *args);
int tovu_read_proc(TOVU_PROC_CTX *proc, char *output, int sz);
int tovu_poll_proc(TOVU_PROC_CTX *proc);
int pipe_write(TOVU_PIPE pipe, const void *buf, int len);
int pipe_write_str(TOVU_PIPE pipe, const char *szbuf);
int pipe_printf(TOVU_PIPE pipe, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void _tovu_free_pipes(TOVU_PROC_CTX *proc);

#ifdef __cplusplus
}
#endif

#endif /* TOVU_PROC_H */
