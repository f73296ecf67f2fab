/* window_probe WINDOW STRIP_HEIGHT
 * Watches a Qt window from outside, as a window manager would.
 *   - Pings it with _NET_WM_PING, one ping at a time, and prints
 *     "pong SENT RECEIVED" (seconds since the epoch) for each answer. Qt
 *     answers pings on its GUI thread, so the longest wait for an answer is
 *     the longest time the window answered nothing at all.
 *   - After SIGUSR1 it takes the top STRIP_HEIGHT rows of the window as a
 *     reference and prints "changed TIME" the first time they differ: the
 *     moment a new page title reached the screen.
 * Ends on SIGTERM or SIGINT. Build: cc -O2 window_probe.c -lxcb */
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <xcb/xcb.h>

static volatile sig_atomic_t armed_request, stop;

static void on_arm(int sig) { (void)sig; armed_request = 1; }
static void on_stop(int sig) { (void)sig; stop = 1; }

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static xcb_atom_t intern(xcb_connection_t *c, const char *name)
{
    xcb_intern_atom_reply_t *r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, strlen(name), name), NULL);
    xcb_atom_t atom = r ? r->atom : XCB_ATOM_NONE;
    free(r);
    return atom;
}

/* The strip's pixels, or NULL when the window cannot be read. */
static xcb_get_image_reply_t *grab_strip(xcb_connection_t *c, xcb_window_t w, uint16_t height)
{
    xcb_get_geometry_reply_t *g = xcb_get_geometry_reply(c, xcb_get_geometry(c, w), NULL);
    if (!g)
        return NULL;
    uint16_t width = g->width;
    if (height > g->height)
        height = g->height;
    free(g);
    return xcb_get_image_reply(c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, w, 0, 0, width, height, ~0u), NULL);
}

static int same_pixels(xcb_get_image_reply_t *a, xcb_get_image_reply_t *b)
{
    int n = xcb_get_image_data_length(a);
    return n == xcb_get_image_data_length(b) && memcmp(xcb_get_image_data(a), xcb_get_image_data(b), n) == 0;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: window_probe WINDOW STRIP_HEIGHT\n");
        return 2;
    }
    xcb_window_t window = (xcb_window_t)strtoul(argv[1], NULL, 0);
    uint16_t strip = (uint16_t)atoi(argv[2]);

    xcb_connection_t *c = xcb_connect(NULL, NULL);
    if (xcb_connection_has_error(c)) {
        fprintf(stderr, "window_probe: no X display\n");
        return 1;
    }
    xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    /* Answers to pings go to the root window, for the window manager; Qt
     * sends them to those who listen for the root's structure events. */
    uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, screen->root, XCB_CW_EVENT_MASK, &mask);
    xcb_atom_t protocols = intern(c, "WM_PROTOCOLS");
    xcb_atom_t ping = intern(c, "_NET_WM_PING");

    signal(SIGUSR1, on_arm);
    signal(SIGTERM, on_stop);
    signal(SIGINT, on_stop);
    setvbuf(stdout, NULL, _IOLBF, 0);

    xcb_get_image_reply_t *reference = NULL;
    int changed = 0;
    uint32_t serial = 0;
    double sent = 0, answered = 0, last_look = 0;
    int waiting = 0;
    struct pollfd pfd = { xcb_get_file_descriptor(c), POLLIN, 0 };

    while (!stop && !xcb_connection_has_error(c)) {
        /* A ping every 2 ms at most: the probe must not keep the window busy. */
        if (!waiting && now() - answered >= 0.002) {
            xcb_client_message_event_t ev;
            memset(&ev, 0, sizeof ev);
            ev.response_type = XCB_CLIENT_MESSAGE;
            ev.format = 32;
            ev.window = window;
            ev.type = protocols;
            ev.data.data32[0] = ping;
            ev.data.data32[1] = ++serial;
            ev.data.data32[2] = window;
            xcb_send_event(c, 0, window, XCB_EVENT_MASK_NO_EVENT, (const char *)&ev);
            xcb_flush(c);
            sent = now();
            waiting = 1;
        }
        poll(&pfd, 1, 1);
        xcb_generic_event_t *e;
        while ((e = xcb_poll_for_event(c))) {
            if ((e->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                xcb_client_message_event_t *m = (xcb_client_message_event_t *)e;
                if (m->type == protocols && m->data.data32[0] == ping && m->data.data32[1] == serial && waiting) {
                    answered = now();
                    printf("pong %.6f %.6f\n", sent, answered);
                    waiting = 0;
                }
            }
            free(e);
        }
        if (armed_request && !reference) {
            reference = grab_strip(c, window, strip);
        } else if (reference && !changed && now() - last_look > 0.005) {
            last_look = now();
            xcb_get_image_reply_t *current = grab_strip(c, window, strip);
            if (current && !same_pixels(reference, current)) {
                printf("changed %.6f\n", last_look);
                changed = 1;
            }
            free(current);
        }
    }
    if (waiting)
        printf("unanswered %.6f %.6f\n", sent, now());
    free(reference);
    xcb_disconnect(c);
    return 0;
}
