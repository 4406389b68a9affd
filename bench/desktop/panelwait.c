/* panelwait X Y WIDTH
 *
 * Clicks at X,Y (through xdotool) and measures from the click until a new top-level window
 * WIDTH pixels wide is mapped and until its content is painted: the first time its top-left
 * inner pixel is no longer the black of a window that has not been drawn (Xvfb shows nothing
 * below it). Prints "map_ms painted_ms" (-1 after 5 s). The time includes starting xdotool. */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static int ignore_errors(Display *d, XErrorEvent *e) {
    (void)d;
    (void)e;
    return 0;
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: panelwait X Y WIDTH\n");
        return 2;
    }
    Display *d = XOpenDisplay(NULL);
    if (!d)
        return 2;
    XSetErrorHandler(ignore_errors);
    Window root = DefaultRootWindow(d);
    XSelectInput(d, root, SubstructureNotifyMask);
    XSync(d, False);
    int width = atoi(argv[3]);

    double start = now_ms(), mapped = -1, painted = -1, deadline = start + 5000;
    if (fork() == 0) {
        close(ConnectionNumber(d));
        execlp("xdotool", "xdotool", "mousemove", argv[1], argv[2], "click", "1", (char *)NULL);
        _exit(127);
    }
    Window panel = 0;
    while (painted < 0 && now_ms() < deadline) {
        while (XPending(d)) {
            XEvent e;
            XNextEvent(d, &e);
            XWindowAttributes a;
            if (e.type == MapNotify && !panel && XGetWindowAttributes(d, e.xmap.window, &a) &&
                a.width == width) {
                panel = e.xmap.window;
                mapped = now_ms() - start;
            }
        }
        if (panel) {
            XImage *pixel = XGetImage(d, panel, 2, 2, 1, 1, AllPlanes, ZPixmap);
            if (pixel) {
                if (XGetPixel(pixel, 0, 0) != 0)
                    painted = now_ms() - start;
                XDestroyImage(pixel);
            }
        }
        usleep(500);
    }
    printf("%.1f %.1f\n", mapped, painted);
    XCloseDisplay(d);
    wait(NULL);
    return 0;
}
