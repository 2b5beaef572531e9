/* Runs a command and writes its peak resident memory (KiB) to a file. The kernel counts into a
 * process's peak the memory it had before exec, so a large test program measuring its child
 * directly would report its own size; this small go-between forks a fresh process for the
 * command. Usage: peak_rss OUTFILE COMMAND [ARGS...]; exits with the command's status. */
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3)
        return 125;
    pid_t pid = fork();
    if (pid < 0)
        return 126;
    if (pid == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    /* The ending signals are the program's to handle: a test sends them to the whole group. */
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    int status = 0;
    struct rusage usage;
    while (wait4(pid, &status, 0, &usage) < 0) {
    }
    FILE* out = fopen(argv[1], "w");
    if (out != NULL) {
        fprintf(out, "%ld\n", usage.ru_maxrss);
        fclose(out);
    }
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}
