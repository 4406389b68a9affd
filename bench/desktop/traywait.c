/* traywait OUT TIMEOUT_S APP [ARGS...]
 *
 * Starts APP and measures, from the exec, how long its XEmbed tray icon takes to be embedded:
 * reparented by the tray host and then viewable. Writes "pid reparent_ms viewable_ms window"
 * to OUT (-1 for what did not happen before the timeout) and stays the app's parent until it
 * ends, so the caller can stop the app by its pid. Only the tray host reparents windows here
 * (no window manager runs), so the first reparented window of the app is its icon. */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static long window_pid(Display *d, Window w) {
    Atom type, prop = XInternAtom(d, "_NET_WM_PID", False);
    int format;
    unsigned long n, after;
    unsigned char *data = NULL;
    long pid = -1;
    if (XGetWindowProperty(d, w, prop, 0, 1, False, XA_CARDINAL, &type, &format, &n, &after,
                           &data) == Success && data && n == 1)
        pid = *(long *)data;
    if (data)
        XFree(data);
    return pid;
}

static int viewable(Display *d, Window w) {
    XWindowAttributes a;
    return XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable;
}

/* Windows may vanish between an event and the query about them. */
static int ignore_errors(Display *d, XErrorEvent *e) {
    (void)d;
    (void)e;
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: traywait OUT TIMEOUT_S APP [ARGS...]\n");
        return 2;
    }
    Display *d = XOpenDisplay(NULL);
    if (!d) {
        fprintf(stderr, "traywait: no display\n");
        return 2;
    }
    XSetErrorHandler(ignore_errors);
    Window root = DefaultRootWindow(d);
    XSelectInput(d, root, SubstructureNotifyMask);
    XSync(d, False);

    double start = now_ms(), reparented = -1, shown = -1;
    double deadline = start + atof(argv[2]) * 1e3;
    pid_t pid = fork();
    if (pid == 0) {
        close(ConnectionNumber(d));
        execvp(argv[3], argv + 3);
        _exit(127);
    }
    Window icon = 0;
    int ended = 0;
    while (shown < 0 && now_ms() < deadline && !ended) {
        while (XPending(d)) {
            XEvent e;
            XNextEvent(d, &e);
            if (e.type == ReparentNotify && !icon && e.xreparent.parent != root) {
                long owner = window_pid(d, e.xreparent.window);
                if (owner == pid || owner == -1) {
                    icon = e.xreparent.window;
                    reparented = now_ms() - start;
                    XSelectInput(d, icon, StructureNotifyMask);
                    XSync(d, False);
                }
            }
        }
        if (icon && viewable(d, icon)) {
            shown = now_ms() - start;
            break;
        }
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(ConnectionNumber(d), &fds);
        struct timeval wait = {0, 20000};
        select(ConnectionNumber(d) + 1, &fds, NULL, NULL, &wait);
        ended = waitpid(pid, NULL, WNOHANG) == pid;
    }
    FILE *out = fopen(argv[1], "w");
    fprintf(out, "%d %.1f %.1f 0x%lx\n", (int)pid, reparented, shown, icon);
    fclose(out);
    XCloseDisplay(d);
    if (!ended)
        waitpid(pid, NULL, 0);
    return 0;
}
