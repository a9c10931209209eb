/* SPDX-License-Identifier: Apache-2.0 */
/* gmime_leaves.c - the GMime oracle of the differential test: parses each message of a batch as
 * a program built on GMime does and writes every leaf's decoded content.
 *
 * Usage: gmime_leaves LIST
 * Each line of LIST is "MESSAGE<TAB>FOLDER". For each message the program makes FOLDER, writes
 * each leaf as FOLDER/N and one line "N<TAB>type/subtype<TAB>file name<TAB>encoding" for it in
 * FOLDER/parts.tsv, and last an empty FOLDER/done, so that the caller sees which messages were
 * read whole if the program dies part way. */
#include <errno.h>
#include <fcntl.h>
#include <gmime/gmime.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

/* One message's output: its folder, its list of parts and the next leaf number. */
struct Output {
    const char* folder;
    FILE* list;
    int next;
};

/* Writes a field of parts.tsv with tabs and line ends made blanks, so each leaf stays one line. */
static void write_field(FILE* list, const char* text) {
    for (const char* c = text ? text : ""; *c; ++c) {
        fputc(*c == '\t' || *c == '\n' || *c == '\r' ? ' ' : *c, list);
    }
}

/* Writes one leaf's content, decoded from its transfer encoding, and its line in parts.tsv. */
static void write_leaf(struct Output* out, GMimePart* part) {
    int number = out->next++;
    char path[4096];
    snprintf(path, sizeof path, "%s/%d", out->folder, number);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        fprintf(stderr, "gmime_leaves: %s: %s\n", path, strerror(errno));
        return;
    }
    GMimeStream* stream = g_mime_stream_fs_new(fd);
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (content != NULL) {
        g_mime_data_wrapper_write_to_stream(content, stream);
    }
    g_mime_stream_flush(stream);
    g_object_unref(stream);
    GMimeContentType* type = g_mime_object_get_content_type(GMIME_OBJECT(part));
    char* mime_type = type ? g_mime_content_type_get_mime_type(type) : NULL;
    fprintf(out->list, "%d\t", number);
    write_field(out->list, mime_type);
    fputc('\t', out->list);
    write_field(out->list, g_mime_part_get_filename(part));
    fputc('\t', out->list);
    write_field(out->list,
                g_mime_content_encoding_to_string(g_mime_part_get_content_encoding(part)));
    fputc('\n', out->list);
    g_free(mime_type);
}

/* Walks an entity: multiparts and embedded messages are opened, every other part is a leaf. */
static void walk(struct Output* out, GMimeObject* object, int depth) {
    if (object == NULL || depth > 200) {
        return;
    }
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        int count = g_mime_multipart_get_count(multipart);
        for (int i = 0; i < count; ++i) {
            walk(out, g_mime_multipart_get_part(multipart, i), depth + 1);
        }
    } else if (GMIME_IS_MESSAGE_PART(object)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        if (inner != NULL) {
            walk(out, g_mime_message_get_mime_part(inner), depth + 1);
        }
    } else if (GMIME_IS_PART(object)) {
        write_leaf(out, GMIME_PART(object));
    }
}

/* Parses one message into its folder. */
static void read_message(const char* message_path, const char* folder) {
    mkdir(folder, 0755);
    char path[4096];
    snprintf(path, sizeof path, "%s/parts.tsv", folder);
    struct Output out = {folder, fopen(path, "w"), 0};
    if (out.list == NULL) {
        fprintf(stderr, "gmime_leaves: %s: %s\n", path, strerror(errno));
        return;
    }
    GError* error = NULL;
    GMimeStream* stream = g_mime_stream_fs_open(message_path, O_RDONLY, 0, &error);
    if (stream != NULL) {
        GMimeParser* parser = g_mime_parser_new_with_stream(stream);
        g_mime_parser_set_format(parser, GMIME_FORMAT_MESSAGE);
        GMimeMessage* message = g_mime_parser_construct_message(parser, NULL);
        if (message != NULL) {
            walk(&out, g_mime_message_get_mime_part(message), 0);
            g_object_unref(message);
        }
        g_object_unref(parser);
        g_object_unref(stream);
    } else {
        fprintf(stderr, "gmime_leaves: %s: %s\n", message_path, error ? error->message : "?");
        g_clear_error(&error);
    }
    fclose(out.list);
    snprintf(path, sizeof path, "%s/done", folder);
    FILE* done = fopen(path, "w");
    if (done != NULL) {
        fclose(done);
    }
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: gmime_leaves LIST\n");
        return 2;
    }
    FILE* list = fopen(argv[1], "r");
    if (list == NULL) {
        fprintf(stderr, "gmime_leaves: %s: %s\n", argv[1], strerror(errno));
        return 2;
    }
    g_mime_init();
    char line[8192];
    while (fgets(line, sizeof line, list) != NULL) {
        line[strcspn(line, "\r\n")] = '\0';
        char* tab = strchr(line, '\t');
        if (tab != NULL) {
            *tab = '\0';
            read_message(line, tab + 1);
        }
    }
    fclose(list);
    g_mime_shutdown();
    return 0;
}
