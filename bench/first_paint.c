/* first_paint [-c] TITLE_SUFFIX COMMAND [ARG...]
 * Starts COMMAND and watches the X display as a window manager would: when a
 * top-level window whose title ends in TITLE_SUFFIX is mapped, it reads a
 * strip across the window's middle back every millisecond until its pixels
 * are neither all of one colour (a background the server filled in) nor what
 * lay beneath it on the screen before the start (a window without background
 * shows that): the moment its first paint reached the screen. Prints
 *   "MS HWM_KIB WINDOW PID CHILD_HWM_KIB"
 * the milliseconds from the start to that paint, the peak resident memory of
 * COMMAND's process by then (VmHWM: a launcher that has written its wizard
 * and waits for it has passed its peak), the window, COMMAND's process, and
 * with -c the highest VmHWM seen in its children that run the same program
 * (a launcher's helpers, sampled every millisecond until the window is
 * mapped, which costs the machine some work), else 0.
 * Then waits until COMMAND ends (close the window meanwhile). COMMAND's
 * standard output is discarded. Exits 1 after 60 s without such a window.
 * Build: cc -O2 first_paint.c -lxcb */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

static double now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static int title_ends_with(xcb_connection_t *c, xcb_window_t w, const char *suffix)
{
    xcb_get_property_reply_t *r =
        xcb_get_property_reply(c, xcb_get_property(c, 0, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024), NULL);
    if (!r)
        return 0;
    int n = xcb_get_property_value_length(r);
    size_t s = strlen(suffix);
    int match = n >= (int)s && memcmp((char *)xcb_get_property_value(r) + n - s, suffix, s) == 0;
    free(r);
    return match;
}

/* Rows TOP to TOP + *HEIGHT of W (TOP < 0: the whole window), clipped to it. */
static xcb_get_image_reply_t *grab(xcb_connection_t *c, xcb_window_t w, int top, uint16_t *width, uint16_t *height)
{
    xcb_get_geometry_reply_t *g = xcb_get_geometry_reply(c, xcb_get_geometry(c, w), NULL);
    if (!g)
        return NULL;
    *width = g->width;
    if (top < 0)
        top = 0, *height = g->height;
    else if (top + *height > g->height)
        *height = top < g->height ? g->height - top : 0;
    free(g);
    return xcb_get_image_reply(c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, w, 0, top, *width, *height, ~0u), NULL);
}

/* 1 when window W shows its own pixels, 0 not yet, -1 when it is gone.
 * BENEATH is the root window's image (ROOT_WIDTH pixels a row) from before. */
static int painted(xcb_connection_t *c, xcb_window_t root, xcb_window_t w, const uint32_t *beneath,
                   int root_width, int root_height)
{
    xcb_get_geometry_reply_t *g = xcb_get_geometry_reply(c, xcb_get_geometry(c, w), NULL);
    if (!g)
        return -1;
    const int top = g->height > 32 ? g->height / 2 - 16 : 0;
    free(g);
    uint16_t width, height = 32;
    xcb_get_image_reply_t *img = grab(c, w, top, &width, &height);
    xcb_translate_coordinates_reply_t *at =
        xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, w, root, 0, top), NULL);
    if (!at) {
        free(img);
        return -1;
    }
    int x0 = at->dst_x, y0 = at->dst_y, uniform = 1, same = 1;
    free(at);
    if (!img)
        return 0; /* not viewable yet */
    const uint32_t *px = (const uint32_t *)xcb_get_image_data(img);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint32_t p = px[y * width + x] & 0xffffff;
            uniform = uniform && p == (px[0] & 0xffffff);
            int rx = x0 + x, ry = y0 + y;
            if (rx >= 0 && ry >= 0 && rx < root_width && ry < root_height)
                same = same && p == (beneath[ry * root_width + rx] & 0xffffff);
        }
    free(img);
    return !uniform && !same;
}

static long vm_hwm_kib(pid_t pid)
{
    char path[64], line[256];
    long kib = -1;
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE *f = fopen(path, "r");
    while (f && fgets(line, sizeof line, f))
        if (sscanf(line, "VmHWM: %ld", &kib) == 1)
            break;
    if (f)
        fclose(f);
    return kib;
}

/* The highest VmHWM now of PID's children whose program name is PID's own. */
static long children_hwm_kib(pid_t pid)
{
    char path[96], comm[64] = "", child_comm[64];
    long highest = 0;
    snprintf(path, sizeof path, "/proc/%d/comm", (int)pid);
    FILE *f = fopen(path, "r");
    if (!f)
        return 0;
    if (!fgets(comm, sizeof comm, f))
        comm[0] = 0;
    fclose(f);
    snprintf(path, sizeof path, "/proc/%d/task/%d/children", (int)pid, (int)pid);
    f = fopen(path, "r");
    int child;
    while (f && fscanf(f, "%d", &child) == 1) {
        snprintf(path, sizeof path, "/proc/%d/comm", child);
        FILE *c = fopen(path, "r");
        if (c && fgets(child_comm, sizeof child_comm, c) && strcmp(child_comm, comm) == 0) {
            long kib = vm_hwm_kib(child);
            if (kib > highest)
                highest = kib;
        }
        if (c)
            fclose(c);
    }
    if (f)
        fclose(f);
    return highest;
}


static int give_up(pid_t pid)
{
    kill(pid, SIGTERM);
    waitpid(pid, NULL, 0);
    return 1;
}

int main(int argc, char **argv)
{
    const int sample_children = argc > 1 && strcmp(argv[1], "-c") == 0;
    argv += sample_children;
    argc -= sample_children;
    if (argc < 3) {
        fprintf(stderr, "usage: first_paint [-c] TITLE_SUFFIX COMMAND [ARG...]\n");
        return 2;
    }
    xcb_connection_t *c = xcb_connect(NULL, NULL);
    if (xcb_connection_has_error(c)) {
        fprintf(stderr, "first_paint: cannot open the display\n");
        return 2;
    }
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
    uint16_t root_width, root_height;
    xcb_get_image_reply_t *screen = grab(c, root, -1, &root_width, &root_height);
    if (!screen) {
        fprintf(stderr, "first_paint: cannot read the screen\n");
        return 2;
    }
    const uint32_t *beneath = (const uint32_t *)xcb_get_image_data(screen);

    double start = now_ms();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    xcb_window_t window = XCB_WINDOW_NONE;
    long child_hwm = 0;
    struct pollfd x = {xcb_get_file_descriptor(c), POLLIN, 0};
    while (window == XCB_WINDOW_NONE) {
        long kib = sample_children ? children_hwm_kib(pid) : 0;
        if (kib > child_hwm)
            child_hwm = kib;
        xcb_generic_event_t *e = xcb_poll_for_event(c);
        if (!e) {
            if (now_ms() - start > 60000 || xcb_connection_has_error(c))
                return give_up(pid);
            poll(&x, 1, 1);
            continue;
        }
        if ((e->response_type & 0x7f) == XCB_MAP_NOTIFY) {
            xcb_window_t w = ((xcb_map_notify_event_t *)e)->window;
            if (title_ends_with(c, w, argv[1]))
                window = w;
        }
        free(e);
    }
    int p;
    while ((p = painted(c, root, window, beneath, root_width, root_height)) == 0) {
        if (now_ms() - start > 60000)
            return give_up(pid);
        usleep(1000);
    }
    double ms = now_ms() - start;
    if (p < 0)
        return give_up(pid);
    printf("%.1f %ld %u %d %ld\n", ms, vm_hwm_kib(pid), (unsigned)window, (int)pid, child_hwm);
    fflush(stdout);
    while (waitpid(pid, NULL, 0) < 0 && errno == EINTR) {
    }
    return 0;
}
