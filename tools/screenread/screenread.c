/* screenread: prints as text the 30x80 character canvas that a Velka window shows on screen.
 * It copies the window's client area off the screen and matches every cell against glyphs
 * drawn with the same font and colours, so end-to-end tests check what a user would see. */
#include <windows.h>
#include <limits.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define ROWS 30
#define COLS 80
#define GLYPHS 256
/* Largest cell accepted, in pixels; a height-128 font is far beyond anything tests use. */
#define CELL_MAX_W 128
#define CELL_MAX_H 256
/* Longest --class, --title and --wait argument kept. */
#define ARG_MAX_LEN 256
/* Windows above the target (and its children) whose rectangles hide cells. */
#define COVER_MAX 512
/* Caret sampling: this many captures this far apart span three blink periods. */
#define CARET_SAMPLES 16
#define CARET_SAMPLE_MS 100
#define POLL_MS 100
/* Nearest glyphs kept per cell to retry in the context of its row. */
#define CANDIDATES 4
/* Time given to the window to be redrawn after --raise brought it to the top. */
#define RAISE_SETTLE_MS 300
#define REMOTE_WAIT_MS 3000

/* Cell markers in the text output. */
#define CH_HIDDEN '~'    /* cell not on view: scrolled out, covered, off the screen */
#define CH_UNMATCHED '?' /* cell that looks like no glyph of the font */
#define CH_OTHER '.'     /* glyph of a byte outside printable ASCII */

enum { EXIT_OK = 0, EXIT_TIMEOUT = 1, EXIT_USAGE = 2, EXIT_NO_WINDOW = 3, EXIT_FAILED = 4 };

/* Result for one cell: the byte whose glyph it shows, or one of these. */
enum { CELL_HIDDEN = -2, CELL_UNMATCHED = -1 };

typedef struct {
    short code[ROWS][COLS];
    unsigned char inverted[ROWS][COLS];
    /* For --verbose, over matched cells: largest distance to the glyph alone and to the row
     * as finally read, smallest distance to another candidate; cells retried in their row. */
    unsigned alone, worst, rival;
    int retried;
} Screen;

static struct {
    char cls[ARG_MAX_LEN], title[ARG_MAX_LEN], face[LF_FACESIZE], wait[ARG_MAX_LEN];
    int height, hex, caret, raise, verbose, has_title, has_wait, dialogs;
    double timeout;
    COLORREF fg;
} opt;

/* Cell size; the reference glyphs, every byte drawn in its cell of one strip; a row as the
 * window draws it, to account for glyphs reaching into their neighbours' cells. */
static int cw, ch;
static DWORD *glyph_bits, *row_bits;
static HDC row_dc;
static unsigned limit[GLYPHS];
static DWORD glyph_hash[GLYPHS];
#define GLYPH(c) (glyph_bits + (size_t)(c)*cw)
#define GLYPH_STRIDE (GLYPHS * cw)
#define ROW_STRIDE (COLS * cw)

static void usage(FILE* f) {
    fputs(
        "usage: screenread [options]\n"
        "Prints the 30x80 canvas a Velka window shows as 30 lines of 80 characters.\n"
        "  --class NAME      window class to look for (default TTYWndClass)\n"
        "  --title TEXT      window title to look for (default: any)\n"
        "  --face NAME       font face the window uses (default Courier New)\n"
        "  --height N        font lfHeight (default 14)\n"
        "  --fg RRGGBB       text colour (default 000000)\n"
        "  --wait TEXT       read until a line contains TEXT\n"
        "  --timeout SECS    give up --wait after this long (default 10)\n"
        "  --caret           sample for 1.6 s and add a line 'caret ROW COL' or 'caret none'\n"
        "  --raise           bring the window to the top before reading\n"
        "  --hex             print each cell as two hex digits of its byte\n"
        "  --dialogs         instead list the visible dialog boxes: 'dialog TITLE', then\n"
        "                    '  CLASS TEXT' for each control\n"
        "  --verbose         report font, geometry, distances and timing on stderr\n"
        "Cells: printable ASCII as itself; another byte's glyph '.'; no glyph '?';\n"
        "not on view (scrolled out, covered, off screen) '~'. With --hex: the byte, '?\?', '~~'.\n"
        "Rows and columns count from 0. Exit: 0 read, 1 --wait timed out, 2 bad usage,\n"
        "3 window not found, 4 window could not be read.\n",
        f);
}

static double now_ms(void) {
    LARGE_INTEGER t, f;
    QueryPerformanceCounter(&t);
    QueryPerformanceFrequency(&f);
    return (double)t.QuadPart * 1000.0 / (double)f.QuadPart;
}

static int copy_arg(char* dst, size_t size, const char* src, const char* name) {
    if (strlen(src) >= size) {
        fprintf(stderr, "screenread: %s is too long (at most %u characters)\n", name,
                (unsigned)size - 1);
        return 0;
    }
    memcpy(dst, src, strlen(src) + 1);
    return 1;
}

static int parse_args(int argc, char** argv) {
    strcpy(opt.cls, "TTYWndClass");
    strcpy(opt.face, "Courier New");
    opt.height = 14;
    opt.timeout = 10;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : NULL;
        int ok = 1;
        if (!strcmp(a, "--help")) {
            usage(stdout);
            exit(EXIT_OK);
        } else if (!strcmp(a, "--caret"))
            opt.caret = 1;
        else if (!strcmp(a, "--raise"))
            opt.raise = 1;
        else if (!strcmp(a, "--hex"))
            opt.hex = 1;
        else if (!strcmp(a, "--verbose"))
            opt.verbose = 1;
        else if (!strcmp(a, "--dialogs"))
            opt.dialogs = 1;
        else if (!v)
            ok = 0;
        else {
            char* end = NULL;
            i++;
            if (!strcmp(a, "--class"))
                ok = copy_arg(opt.cls, sizeof opt.cls, v, a);
            else if (!strcmp(a, "--title"))
                ok = opt.has_title = copy_arg(opt.title, sizeof opt.title, v, a);
            else if (!strcmp(a, "--face"))
                ok = copy_arg(opt.face, sizeof opt.face, v, a);
            else if (!strcmp(a, "--wait"))
                ok = opt.has_wait = copy_arg(opt.wait, sizeof opt.wait, v, a) && *v;
            else if (!strcmp(a, "--height")) {
                long n = strtol(v, &end, 10);
                ok = *end == 0 && n != 0 && n > -CELL_MAX_H && n < CELL_MAX_H;
                opt.height = (int)n;
            } else if (!strcmp(a, "--timeout")) {
                opt.timeout = strtod(v, &end);
                ok = *end == 0 && opt.timeout >= 0;
            } else if (!strcmp(a, "--fg")) {
                unsigned long rgb = strtoul(v, &end, 16);
                ok = *end == 0 && strlen(v) == 6;
                opt.fg = RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
            } else
                ok = 0;
        }
        if (!ok) {
            fprintf(stderr, "screenread: bad or incomplete option '%s'\n", a);
            usage(stderr);
            return 0;
        }
    }
    return 1;
}

/* 32-bit top-down DIB section selected into a fresh memory DC. */
static HDC dib_dc(int w, int h, DWORD** bits, HBITMAP* bmp) {
    BITMAPINFO bi;
    memset(&bi, 0, sizeof bi);
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    HDC dc = CreateCompatibleDC(NULL);
    *bmp = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, (void**)bits, NULL, 0);
    if (!dc || !*bmp) {
        if (dc) DeleteDC(dc);
        return NULL;
    }
    SelectObject(dc, *bmp);
    return dc;
}

/* Sum over a cell of |dR|+|dG|+|dB| between two images (flip xor-inverts the second);
 * stops once past limit. */
static unsigned distance(const DWORD* px, int stride, const DWORD* glyph, int gstride, DWORD flip,
                         unsigned limit) {
    unsigned d = 0;
    for (int y = 0; y < ch; y++, px += stride, glyph += gstride) {
        for (int x = 0; x < cw; x++) {
            DWORD a = px[x], b = glyph[x] ^ flip;
            for (int s = 0; s < 24; s += 8) {
                int k = (int)((a >> s) & 0xFF) - (int)((b >> s) & 0xFF);
                d += (unsigned)(k < 0 ? -k : k);
            }
        }
        if (d > limit) break;
    }
    return d;
}

static int printable(int c) {
    return c >= 0x20 && c <= 0x7E;
}

/* FNV-1a over a cell's pixels, xor-inverted by flip. */
static DWORD cell_hash(const DWORD* px, int stride, DWORD flip) {
    DWORD h = 2166136261u;
    for (int y = 0; y < ch; y++, px += stride)
        for (int x = 0; x < cw; x++)
            h = (h ^ ((px[x] ^ flip) & 0xFFFFFF)) * 16777619u;
    return h;
}

/* The few glyphs nearest to a cell, nearest first, no two at the same distance. */
typedef struct {
    int n;
    short code[CANDIDATES];
    unsigned char inverted[CANDIDATES];
    unsigned dist[CANDIDATES];
} Guess;

/* Glyphs nearest to a cell on its own. Candidates are tried printable ASCII first, then plain
 * before inverted, then by byte, and one at the same distance as a kept one is dropped: so a
 * glyph drawn alike for several bytes reads as the printable one or else the lowest byte, and
 * a caret on a blank reads as space rather than as a full block. */
static void match(const DWORD* px, int stride, Guess* g) {
    /* Most cells are some glyph exactly: found by hash, in the same order of preference. */
    DWORD hash = cell_hash(px, stride, 0), flipped = cell_hash(px, stride, 0xFFFFFF);
    g->n = 0;
    for (int pass = 0; pass < 4; pass++)
        for (int c = 0; c < GLYPHS; c++) {
            if (printable(c) != (pass < 2) || glyph_hash[c] != ((pass & 1) ? flipped : hash))
                continue;
            if (distance(px, stride, GLYPH(c), GLYPH_STRIDE, (pass & 1) ? 0xFFFFFF : 0, 0))
                continue;
            g->n = 1;
            g->code[0] = (short)c;
            g->inverted[0] = (unsigned char)(pass & 1);
            g->dist[0] = 0;
            return;
        }
    for (int pass = 0; pass < 4; pass++) {
        DWORD flip = (pass & 1) ? 0xFFFFFF : 0;
        for (int c = 0; c < GLYPHS; c++) {
            if (printable(c) != (pass < 2)) continue;
            unsigned limit = g->n == CANDIDATES ? g->dist[CANDIDATES - 1] : UINT_MAX;
            unsigned d = distance(px, stride, GLYPH(c), GLYPH_STRIDE, flip, limit);
            int i = 0, same = 0;
            if (d >= limit) continue;
            for (i = 0; i < g->n; i++)
                same |= g->dist[i] == d;
            if (same) continue;
            if (g->n < CANDIDATES) g->n++;
            for (i = g->n - 1; i > 0 && g->dist[i - 1] > d; i--) {
                g->code[i] = g->code[i - 1];
                g->inverted[i] = g->inverted[i - 1];
                g->dist[i] = g->dist[i - 1];
            }
            g->code[i] = (short)c;
            g->inverted[i] = (unsigned char)(pass & 1);
            g->dist[i] = d;
        }
    }
}

static HFONT make_font(void) {
    LOGFONTA lf;
    memset(&lf, 0, sizeof lf);
    lf.lfHeight = opt.height;
    lf.lfCharSet = OEM_CHARSET;
    lf.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
    memcpy(lf.lfFaceName, opt.face, sizeof lf.lfFaceName);
    return CreateFontIndirectA(&lf);
}

/* Memory DC on a new 32-bit DIB with the font and the window's colours. */
static HDC text_dc(HFONT font, int w, DWORD** bits) {
    HBITMAP bmp;
    HDC dc = dib_dc(w, ch, bits, &bmp);
    if (!dc) return NULL;
    SelectObject(dc, font);
    SetTextColor(dc, opt.fg);
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    SetBkMode(dc, OPAQUE);
    return dc;
}

/* Draws bytes from column 0 the way the window draws a row: one call, opaque, clipped. */
static void draw_text(HDC dc, const char* text, int n) {
    RECT rc = {0, 0, n * cw, ch};
    ExtTextOutA(dc, 0, 0, ETO_OPAQUE | ETO_CLIPPED, &rc, text, (UINT)n, NULL);
    GdiFlush();
}

/* Measures the cell, draws every byte's glyph alone in its cell, and sets each glyph's limit
 * to half its distance to the nearest glyph that looks different: a cell within the limit
 * of a glyph is nearer to it than to any other. */
static int build_glyphs(void) {
    HFONT font = make_font();
    DWORD* bits;
    HBITMAP bmp;
    HDC dc = dib_dc(1, 1, &bits, &bmp);
    if (!font || !dc) return 0;
    SelectObject(dc, font);
    TEXTMETRICA tm;
    char face[LF_FACESIZE];
    GetTextMetricsA(dc, &tm);
    GetTextFaceA(dc, sizeof face, face);
    DeleteDC(dc);
    DeleteObject(bmp);
    cw = tm.tmAveCharWidth;
    ch = tm.tmHeight + tm.tmExternalLeading;
    if (cw <= 0 || ch <= 0 || cw > CELL_MAX_W || ch > CELL_MAX_H) {
        fprintf(stderr, "screenread: font cell %dx%d out of range\n", cw, ch);
        return 0;
    }
    HDC glyph_dc = text_dc(font, GLYPH_STRIDE, &glyph_bits);
    row_dc = text_dc(font, ROW_STRIDE, &row_bits);
    if (!glyph_dc || !row_dc) return 0;
    for (int c = 0; c < GLYPHS; c++) {
        RECT rc = {c * cw, 0, (c + 1) * cw, ch};
        char byte = (char)c;
        ExtTextOutA(glyph_dc, rc.left, 0, ETO_OPAQUE | ETO_CLIPPED, &rc, &byte, 1, NULL);
    }
    GdiFlush();
    for (int c = 0; c < GLYPHS; c++)
        glyph_hash[c] = cell_hash(GLYPH(c), GLYPH_STRIDE, 0);

    unsigned nearest = UINT_MAX;
    int na = 0, nb = 0;
    for (int a = 0; a < GLYPHS; a++)
        limit[a] = UINT_MAX;
    for (int a = 0; a < GLYPHS; a++)
        for (int b = a; b < GLYPHS; b++)
            for (int flip = 0; flip < 2; flip++) {
                unsigned d = distance(GLYPH(a), GLYPH_STRIDE, GLYPH(b), GLYPH_STRIDE,
                                      flip ? 0xFFFFFF : 0, UINT_MAX);
                if (d == 0) continue;
                limit[a] = min(limit[a], d);
                limit[b] = min(limit[b], d);
                if (d < nearest) nearest = d, na = a, nb = b;
            }
    for (int a = 0; a < GLYPHS; a++)
        limit[a] /= 2;
    if (!opt.verbose) return 1;
    fprintf(stderr, "font '%s' cell %dx%d, nearest distinct glyphs %02X and %02X at %u\n", face, cw,
            ch, na, nb, nearest);
    /* Bytes whose glyph reads as another byte's, '~' marking an inverted one. */
    fputs("same glyph:", stderr);
    for (int c = 0; c < GLYPHS; c++) {
        Guess g;
        match(GLYPH(c), GLYPH_STRIDE, &g);
        if (g.code[0] != c) fprintf(stderr, " %02X=%s%02X", c, g.inverted[0] ? "~" : "", g.code[0]);
    }
    fputc('\n', stderr);
    return 1;
}

/* Wine keeps standard scroll bar state in the process that owns the window, so GetScrollInfo
 * fails there for another process's window. The query then runs on a short thread in the
 * owning process: a 32-bit stub calls GetScrollInfo for both bars and stores the results. */
typedef struct {
    HWND hwnd;
    void* fn;
    SCROLLINFO bar[2];
    BOOL ok[2];
} RemoteBlock;
#ifdef _WIN64
/* The 64-bit build reads windows of its own bitness only when no bar is needed. */
static int remote_scroll(HWND hwnd, RemoteBlock* blk) {
    (void)hwnd;
    (void)blk;
    return 0;
}
#else
_Static_assert(sizeof(void*) == 4, "the stub is 32-bit code");
_Static_assert(offsetof(RemoteBlock, fn) == 0x04 && offsetof(RemoteBlock, bar) == 0x08 &&
                   offsetof(RemoteBlock, bar[1]) == 0x24 && offsetof(RemoteBlock, ok) == 0x40 &&
                   offsetof(RemoteBlock, ok[1]) == 0x44,
               "the stub's displacements follow RemoteBlock");
static const unsigned char scroll_stub[] = {
    0x56,                      /* push esi */
    0x8B, 0x74,    0x24, 0x08, /* mov esi, [esp+8]     ; thread argument: the block */
    0x8D, 0x46,    0x08,       /* lea eax, [esi+bar[0]] */
    0x50,                      /* push eax */
    0x6A, SB_HORZ,             /* push SB_HORZ */
    0xFF, 0x36,                /* push [esi+hwnd] */
    0xFF, 0x56,    0x04,       /* call [esi+fn] */
    0x89, 0x46,    0x40,       /* mov [esi+ok[0]], eax */
    0x8D, 0x46,    0x24,       /* lea eax, [esi+bar[1]] */
    0x50,                      /* push eax */
    0x6A, SB_VERT,             /* push SB_VERT */
    0xFF, 0x36,                /* push [esi+hwnd] */
    0xFF, 0x56,    0x04,       /* call [esi+fn] */
    0x89, 0x46,    0x44,       /* mov [esi+ok[1]], eax */
    0x5E,                      /* pop esi */
    0x31, 0xC0,                /* xor eax, eax */
    0xC2, 0x04,    0x00,       /* ret 4 */
};
#define STUB_SPACE 64
_Static_assert(sizeof scroll_stub <= STUB_SPACE, "stub fits its space");

static int remote_scroll(HWND hwnd, RemoteBlock* blk) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    HANDLE proc = OpenProcess(PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION |
                                  PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE,
                              FALSE, pid);
    if (!proc) return 0;
    /* System DLLs sit at one address in every process; check the code there is the same. */
    unsigned char here[16], there[16];
    SIZE_T got = 0;
    int ok = 0;
    memcpy(here, blk->fn, sizeof here);
    unsigned char* mem = NULL;
    if (ReadProcessMemory(proc, blk->fn, there, sizeof there, &got) && got == sizeof there &&
        !memcmp(here, there, sizeof here))
        mem = VirtualAllocEx(proc, NULL, STUB_SPACE + sizeof *blk, MEM_COMMIT | MEM_RESERVE,
                             PAGE_EXECUTE_READWRITE);
    if (mem && WriteProcessMemory(proc, mem, scroll_stub, sizeof scroll_stub, NULL) &&
        WriteProcessMemory(proc, mem + STUB_SPACE, blk, sizeof *blk, NULL)) {
        HANDLE th = CreateRemoteThread(proc, NULL, 0, (LPTHREAD_START_ROUTINE)(void*)mem,
                                       mem + STUB_SPACE, 0, NULL);
        if (th) {
            if (WaitForSingleObject(th, REMOTE_WAIT_MS) == WAIT_OBJECT_0) {
                ok = ReadProcessMemory(proc, mem + STUB_SPACE, blk, sizeof *blk, NULL);
                VirtualFreeEx(proc, mem, 0, MEM_RELEASE);
            }
            /* A thread that did not finish may still run the stub: its memory stays. */
            CloseHandle(th);
        } else
            VirtualFreeEx(proc, mem, 0, MEM_RELEASE);
    } else if (mem)
        VirtualFreeEx(proc, mem, 0, MEM_RELEASE);
    CloseHandle(proc);
    return ok;
}
#endif

/* Pixel scroll offsets: the scroll bar positions on each axis the canvas overflows, else 0. */
static int scroll_offsets(HWND hwnd, int client_w, int client_h, int off[2]) {
    int need[2] = {client_w < COLS * cw, client_h < ROWS * ch};
    RemoteBlock blk;
    memset(&blk, 0, sizeof blk);
    blk.hwnd = hwnd;
    blk.fn = (void*)GetProcAddress(GetModuleHandleA("user32.dll"), "GetScrollInfo");
    for (int i = 0; i < 2; i++) {
        blk.bar[i].cbSize = sizeof blk.bar[i];
        blk.bar[i].fMask = SIF_POS;
        blk.ok[i] = GetScrollInfo(hwnd, i ? SB_VERT : SB_HORZ, &blk.bar[i]);
    }
    if ((need[0] && !blk.ok[0]) || (need[1] && !blk.ok[1])) {
        if (!blk.fn || !remote_scroll(hwnd, &blk)) {
            fprintf(stderr, "screenread: cannot query the window's scroll bars\n");
            return 0;
        }
    }
    for (int i = 0; i < 2; i++) {
        if (need[i] && !blk.ok[i]) {
            fprintf(stderr, "screenread: the window has no %s scroll bar\n",
                    i ? "vertical" : "horizontal");
            return 0;
        }
        off[i] = need[i] ? blk.bar[i].nPos : 0;
    }
    return 1;
}

/* Screen rectangles that hide parts of the client area: visible windows above the target
 * in the z-order and the target's own visible children. */
static int cover_rects(HWND hwnd, RECT* out) {
    int n = 0;
    for (HWND h = GetWindow(hwnd, GW_HWNDPREV); h && n < COVER_MAX; h = GetWindow(h, GW_HWNDPREV))
        if (IsWindowVisible(h) && GetWindowRect(h, &out[n])) n++;
    for (HWND h = GetWindow(hwnd, GW_CHILD); h && n < COVER_MAX; h = GetWindow(h, GW_HWNDNEXT))
        if (IsWindowVisible(h) && GetWindowRect(h, &out[n])) n++;
    return n;
}

/* Distance of a cell to a guess drawn between its neighbours as the row reads so far. */
static unsigned in_row(const DWORD* px, int stride, char* text, int c, int code, int inverted,
                       unsigned bound) {
    int from = max(c - 1, 0), to = min(c + 2, COLS);
    char keep = text[c];
    text[c] = (char)code;
    draw_text(row_dc, text + from, to - from);
    text[c] = keep;
    return distance(px, stride, row_bits + (c - from) * cw, ROW_STRIDE, inverted ? 0xFFFFFF : 0,
                    bound);
}

/* One capture of the window, every cell matched. Each visible cell first gets its nearest
 * glyphs on its own; then its row is drawn again from those guesses, because wide glyphs
 * reach a pixel into the next cell. A cell that differs from the redrawn row picks among its
 * candidates the one nearest between its neighbours (or alone: a repaint of part of a row
 * clears what the glyph before it put there). */
static int read_screen(HWND hwnd, Screen* s) {
    static RECT cover[COVER_MAX];
    static Guess guess[COLS];
    RECT client, screen;
    POINT org = {0, 0};
    int off[2];
    for (int r = 0; r < ROWS; r++)
        for (int c = 0; c < COLS; c++)
            s->code[r][c] = CELL_HIDDEN;
    memset(s->inverted, 0, sizeof s->inverted);
    s->alone = s->worst = s->retried = 0;
    s->rival = UINT_MAX;
    if (!IsWindowVisible(hwnd) || IsIconic(hwnd)) return 1;
    if (!GetClientRect(hwnd, &client) || !ClientToScreen(hwnd, &org)) return 0;
    if (!scroll_offsets(hwnd, client.right, client.bottom, off)) return 0;
    int ncover = cover_rects(hwnd, cover);
    screen.left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    screen.top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    screen.right = screen.left + GetSystemMetrics(SM_CXVIRTUALSCREEN);
    screen.bottom = screen.top + GetSystemMetrics(SM_CYVIRTUALSCREEN);

    /* Only the part of the client area that holds canvas is copied. */
    int w = min(client.right, COLS * cw - off[0]), h = min(client.bottom, ROWS * ch - off[1]);
    if (w <= 0 || h <= 0) return 1;
    DWORD* bits = NULL;
    HBITMAP bmp = NULL;
    HDC mem = dib_dc(w, h, &bits, &bmp);
    HDC sdc = GetDC(NULL);
    int ok = mem && sdc && BitBlt(mem, 0, 0, w, h, sdc, org.x, org.y, SRCCOPY);
    if (sdc) ReleaseDC(NULL, sdc);
    GdiFlush();
    for (int r = 0; ok && r < ROWS; r++) {
        char text[COLS];
        int any = 0;
        for (int c = 0; c < COLS; c++) {
            int x = c * cw - off[0], y = r * ch - off[1];
            RECT cell = {org.x + x, org.y + y, org.x + x + cw, org.y + y + ch}, cut;
            int seen = x >= 0 && y >= 0 && x + cw <= w && y + ch <= h && cell.left >= screen.left &&
                       cell.top >= screen.top && cell.right <= screen.right &&
                       cell.bottom <= screen.bottom;
            for (int i = 0; seen && i < ncover; i++)
                if (IntersectRect(&cut, &cell, &cover[i])) seen = 0;
            text[c] = ' ';
            guess[c].n = 0;
            if (!seen) continue;
            match(bits + y * w + x, w, &guess[c]);
            text[c] = (char)guess[c].code[0];
            any = 1;
        }
        if (!any) continue;
        draw_text(row_dc, text, COLS);
        for (int c = 0; c < COLS; c++) {
            const Guess* g = &guess[c];
            if (!g->n) continue;
            const DWORD* px = bits + (r * ch - off[1]) * w + c * cw - off[0];
            int k = 0;
            unsigned d = 0;
            if (g->dist[0] > 0)
                d = distance(px, w, row_bits + c * cw, ROW_STRIDE, g->inverted[0] ? 0xFFFFFF : 0,
                             g->dist[0]);
            if (d > 0) {
                s->retried++;
                d = UINT_MAX;
                for (int i = 0; i < g->n; i++) {
                    unsigned di = min(
                        g->dist[i], in_row(px, w, text, c, g->code[i], g->inverted[i], g->dist[i]));
                    if (di < d) d = di, k = i;
                }
                text[c] = (char)g->code[k];
            }
            if (d > limit[g->code[k]]) {
                s->code[r][c] = CELL_UNMATCHED;
                continue;
            }
            s->code[r][c] = g->code[k];
            s->inverted[r][c] = g->inverted[k];
            s->alone = max(s->alone, g->dist[0]);
            s->worst = max(s->worst, d);
            for (int i = 0; i < g->n; i++)
                if (i != k) s->rival = min(s->rival, g->dist[i]);
        }
    }
    if (mem) DeleteDC(mem);
    if (bmp) DeleteObject(bmp);
    if (!ok)
        fprintf(stderr, "screenread: cannot copy the window from the screen\n");
    else if (opt.verbose)
        fprintf(stderr,
                "client %ldx%ld at %ld,%ld, scroll %d,%d; matched cells: distance alone up to %u, "
                "as read up to %u, to the nearest other candidate at least %u; %d retried\n",
                client.right, client.bottom, org.x, org.y, off[0], off[1], s->alone, s->worst,
                s->rival, s->retried);
    return ok;
}

static char cell_char(int code) {
    if (code == CELL_HIDDEN) return CH_HIDDEN;
    if (code == CELL_UNMATCHED) return CH_UNMATCHED;
    return printable(code) ? (char)code : CH_OTHER;
}

static void row_text(const Screen* s, int r, char line[COLS + 1]) {
    for (int c = 0; c < COLS; c++)
        line[c] = cell_char(s->code[r][c]);
    line[COLS] = 0;
}

static int screen_has(const Screen* s, const char* text) {
    char line[COLS + 1];
    for (int r = 0; r < ROWS; r++) {
        row_text(s, r, line);
        if (strstr(line, text)) return 1;
    }
    return 0;
}

static void print_screen(const Screen* s) {
    char line[COLS + 1];
    for (int r = 0; r < ROWS; r++) {
        if (!opt.hex) {
            row_text(s, r, line);
            puts(line);
            continue;
        }
        for (int c = 0; c < COLS; c++) {
            int code = s->code[r][c];
            if (code >= 0)
                printf("%02X", code);
            else
                fputs(code == CELL_HIDDEN ? "~~" : "??", stdout);
        }
        putchar('\n');
    }
}

/* The caret blinks: its cell shows one glyph plain in some captures and inverted in others. */
static void find_caret(HWND hwnd, Screen* s, int* row, int* col) {
    static Screen first;
    unsigned char plain[ROWS][COLS], inv[ROWS][COLS];
    memset(plain, 0, sizeof plain);
    memset(inv, 0, sizeof inv);
    *row = *col = -1;
    for (int k = 0; k < CARET_SAMPLES; k++) {
        if (k) Sleep(CARET_SAMPLE_MS);
        if (!read_screen(hwnd, s)) continue;
        if (k == 0) first = *s;
        for (int r = 0; r < ROWS; r++)
            for (int c = 0; c < COLS; c++) {
                if (s->code[r][c] < 0 || s->code[r][c] != first.code[r][c]) continue;
                if (s->inverted[r][c])
                    inv[r][c] = 1;
                else
                    plain[r][c] = 1;
            }
    }
    for (int r = 0; r < ROWS && *row < 0; r++)
        for (int c = 0; c < COLS && *row < 0; c++)
            if (plain[r][c] && inv[r][c]) *row = r, *col = c;
}

static HWND find_window(void) {
    return FindWindowA(opt.cls[0] ? opt.cls : NULL, opt.has_title ? opt.title : NULL);
}

/* Message boxes and dialogs are windows of class #32770; their controls' texts come across
 * processes through WM_GETTEXT, which GetWindowText sends for windows of another process. */
static BOOL CALLBACK print_control(HWND h, LPARAM unused) {
    char cls[ARG_MAX_LEN], text[ARG_MAX_LEN];
    (void)unused;
    if (!IsWindowVisible(h)) return TRUE;
    GetClassNameA(h, cls, sizeof cls);
    text[0] = 0;
    SendMessageTimeoutA(h, WM_GETTEXT, sizeof text, (LPARAM)text, SMTO_ABORTIFHUNG, 2000, NULL);
    text[sizeof text - 1] = 0;
    printf("  %s %s\n", cls, text);
    return TRUE;
}

static BOOL CALLBACK print_dialog(HWND h, LPARAM count) {
    char cls[ARG_MAX_LEN], title[ARG_MAX_LEN];
    if (!IsWindowVisible(h) || !GetClassNameA(h, cls, sizeof cls) || strcmp(cls, "#32770"))
        return TRUE;
    title[0] = 0;
    GetWindowTextA(h, title, sizeof title);
    printf("dialog %s\n", title);
    EnumChildWindows(h, print_control, 0);
    ++*(int*)count;
    return TRUE;
}

int main(int argc, char** argv) {
    static Screen s;
    if (!parse_args(argc, argv)) return EXIT_USAGE;
    if (opt.dialogs) {
        int count = 0;
        EnumWindows(print_dialog, (LPARAM)&count);
        fflush(stdout);
        return EXIT_OK;
    }
    double t0 = now_ms();
    if (!build_glyphs()) {
        fprintf(stderr, "screenread: cannot draw the reference glyphs\n");
        return EXIT_FAILED;
    }
    if (opt.verbose) fprintf(stderr, "glyphs drawn in %.1f ms\n", now_ms() - t0);
    DWORD start = GetTickCount();
    HWND hwnd = NULL;
    int read_ok = 0, found = 0, raised = 0;
    for (;;) {
        hwnd = find_window();
        if (hwnd && opt.raise && !raised) {
            SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
            Sleep(RAISE_SETTLE_MS);
            raised = 1;
        }
        if (hwnd) {
            t0 = now_ms();
            read_ok = read_screen(hwnd, &s);
            if (opt.verbose) fprintf(stderr, "read in %.1f ms\n", now_ms() - t0);
            found = read_ok && opt.has_wait && screen_has(&s, opt.wait);
        }
        if (!opt.has_wait || found || GetTickCount() - start >= (DWORD)(opt.timeout * 1000)) break;
        Sleep(POLL_MS);
    }
    if (!hwnd) {
        fprintf(stderr, "screenread: no window of class '%s'%s%s%s\n", opt.cls,
                opt.has_title ? " titled '" : "", opt.has_title ? opt.title : "",
                opt.has_title ? "'" : "");
        return EXIT_NO_WINDOW;
    }
    if (!read_ok) return EXIT_FAILED;
    int row = -1, col = -1;
    if (opt.caret) find_caret(hwnd, &s, &row, &col);
    print_screen(&s);
    if (opt.caret) {
        if (row >= 0)
            printf("caret %d %d\n", row, col);
        else
            puts("caret none");
    }
    fflush(stdout);
    return opt.has_wait && !found ? EXIT_TIMEOUT : EXIT_OK;
}
