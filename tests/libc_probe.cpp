// SPDX-License-Identifier: ISC
// Prints the words the C library of this build puts into quelmar's messages,
// so that the integration tests expect this library's texts, not glibc's:
//
//   libc_probe PROGRAM
//
// One line each, a name, a tab, the text: strerror for the errors quelmar's
// perror messages name; getopt's own messages for an unknown option and for an
// option without its argument, as a program called PROGRAM prints them; and
// whether getopt reads options after an operand (glibc and uClibc permute the
// arguments, musl stops at the first operand).
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

constexpr char options[] = "e:n:v"; // quelmar's

// Runs getopt over arguments (after the program name), as quelmar does; true if it returned letter.
bool scan(char* program, const char* first, const char* second, int letter)
{
    char one[16];
    char two[16];
    snprintf(one, sizeof one, "%s", first);
    snprintf(two, sizeof two, "%s", second);
    char* arguments[] = {program, one, two, nullptr};
    int count = second[0] == '\0' ? 2 : 3;
    optind = 0; // a fresh scan, in glibc, uClibc and musl alike
    bool seen = false;
    int option;
    while ((option = getopt(count, arguments, options)) != -1) {
        seen = seen || option == letter;
    }
    return seen;
}

// getopt's message for these arguments, read back from standard error, without its newline.
void print_diagnostic(const char* name, char* program, const char* first, const char* second, int reader)
{
    scan(program, first, second, 0);
    fflush(stderr);
    char text[512];
    ssize_t length = read(reader, text, sizeof text - 1);
    length = length > 0 ? length : 0;
    text[length] = '\0';
    text[strcspn(text, "\n")] = '\0';
    printf("%s\t%s\n", name, text);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s PROGRAM\n", argv[0]);
        return 2;
    }
    const struct {
        const char* name;
        int number;
    } errors[] = {{"ENODEV", ENODEV}, {"EPERM", EPERM}, {"ENETDOWN", ENETDOWN}, {"ENOSYS", ENOSYS},
                  {"EMFILE", EMFILE}, {"EOPNOTSUPP", EOPNOTSUPP}, {"EMSGSIZE", EMSGSIZE}};
    for (const auto& error : errors) {
        printf("%s\t%s\n", error.name, strerror(error.number));
    }

    // getopt writes to standard error; a pipe takes its messages here, and
    // reads nothing, without waiting, where it wrote none.
    int pipe_ends[2];
    if (pipe(pipe_ends) == -1 || fcntl(pipe_ends[0], F_SETFL, O_NONBLOCK) == -1 ||
        dup2(pipe_ends[1], STDERR_FILENO) == -1) {
        perror("pipe");
        return 1;
    }
    print_diagnostic("unknown_option", argv[1], "-x", "", pipe_ends[0]);
    print_diagnostic("missing_argument", argv[1], "-n", "", pipe_ends[0]);
    printf("permutes\t%d\n", scan(argv[1], "operand", "-v", 'v') ? 1 : 0);
    return 0;
}
