/* fcgi_floor: the least a persistent ODBC responder does for the list page of bench/run.
 *
 * A FastCGI responder (libfcgi's fcgiapp) that connects once through the driver manager to
 * the data source named by argv[3] (user argv[4], password argv[5]) and then, per request,
 * runs the query in argv[6] with a row limit of 100 on a statement of its own and writes
 * the rows as an HTML table behind a CGI header, escaping < > & " in the values. Its
 * throughput, instruction and system call counts per request are the floor the gateway's
 * persistent process is measured against.
 *
 *   fcgi_floor SOCKET MAX_REQUESTS DSN USER PASSWORD QUERY
 *       listens on the Unix socket SOCKET and ends after MAX_REQUESTS requests (0: never)
 *   fcgi_floor
 *       as a web server starts a FastCGI program: standard input is the listening socket,
 *       and QV_FLOOR_DSN, QV_FLOOR_USER, QV_FLOOR_PASSWORD and QV_FLOOR_QUERY name the rest
 */
#include <fcgiapp.h>
#include <sql.h>
#include <sqlext.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define COLUMNS 8
#define WIDTH 1024

/* Writes s with < > & " as numeric character references, unescaped runs in one call. */
static void put_escaped(const char *s, SQLLEN length, FCGX_Stream *out) {
    const char *end = s + length, *run = s;
    for (; s < end; ++s) {
        const char *entity;
        switch (*s) {
        case '<': entity = "&#60;"; break;
        case '>': entity = "&#62;"; break;
        case '&': entity = "&#38;"; break;
        case '"': entity = "&#34;"; break;
        default: continue;
        }
        FCGX_PutStr(run, (int)(s - run), out);
        FCGX_PutStr(entity, 5, out);
        run = s + 1;
    }
    FCGX_PutStr(run, (int)(end - run), out);
}

static void put(const char *text, FCGX_Stream *out) { FCGX_PutStr(text, (int)strlen(text), out); }

static void serve(SQLHDBC dbc, const char *query, FCGX_Stream *out) {
    SQLHSTMT stmt;
    SQLSMALLINT columns = 0;
    static char buffers[COLUMNS][WIDTH];
    SQLLEN lengths[COLUMNS];
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt))) {
        put("Status: 500 Internal Server Error\nContent-TYPE: text/plain\n\nno statement\n", out);
        return;
    }
    SQLSetStmtAttr(stmt, SQL_ATTR_MAX_ROWS, (SQLPOINTER)100, 0);
    if (!SQL_SUCCEEDED(SQLExecDirect(stmt, (SQLCHAR *)query, SQL_NTS))) {
        put("Status: 500 Internal Server Error\nContent-TYPE: text/plain\n\nquery failed\n", out);
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        return;
    }
    SQLNumResultCols(stmt, &columns);
    if (columns > COLUMNS)
        columns = COLUMNS;
    for (SQLSMALLINT i = 0; i < columns; ++i)
        SQLBindCol(stmt, (SQLUSMALLINT)(i + 1), SQL_C_CHAR, buffers[i], WIDTH, &lengths[i]);
    put("Content-TYPE: text/html\n\n<HTML><BODY><TABLE>\n", out);
    while (SQL_SUCCEEDED(SQLFetch(stmt))) {
        put("<TR>", out);
        for (SQLSMALLINT i = 0; i < columns; ++i) {
            put("<TD>", out);
            if (lengths[i] != SQL_NULL_DATA)
                put_escaped(buffers[i], lengths[i] < WIDTH ? lengths[i] : WIDTH - 1, out);
            put("</TD>", out);
        }
        put("</TR>\n", out);
    }
    put("</TABLE></BODY></HTML>", out);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
}

int main(int argc, char **argv) {
    SQLHENV env;
    SQLHDBC dbc;
    FCGX_Request request;
    const char *names[4] = {"QV_FLOOR_DSN", "QV_FLOOR_USER", "QV_FLOOR_PASSWORD", "QV_FLOOR_QUERY"};
    const char *args[4];
    int listening = 0;
    long most = 0;
    if (argc == 7) {
        listening = FCGX_OpenSocket(argv[1], 128);
        most = atol(argv[2]);
        for (int i = 0; i < 4; ++i)
            args[i] = argv[i + 3];
    } else if (argc == 1) {
        for (int i = 0; i < 4; ++i)
            args[i] = getenv(names[i]) ? getenv(names[i]) : "";
    } else {
        fprintf(stderr, "usage: fcgi_floor [SOCKET MAX_REQUESTS DSN USER PASSWORD QUERY]\n");
        return 2;
    }
    if (listening < 0 || FCGX_Init() != 0 || FCGX_InitRequest(&request, listening, 0) != 0) {
        fprintf(stderr, "fcgi_floor: cannot listen\n");
        return 1;
    }
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, (SQLPOINTER)SQL_OV_ODBC3, 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    if (!SQL_SUCCEEDED(SQLConnect(dbc, (SQLCHAR *)args[0], SQL_NTS, (SQLCHAR *)args[1], SQL_NTS,
                                  (SQLCHAR *)args[2], SQL_NTS))) {
        fprintf(stderr, "fcgi_floor: cannot connect to %s\n", args[0]);
        return 1;
    }
    for (long served = 0; (most == 0 || served < most) && FCGX_Accept_r(&request) >= 0; ++served) {
        serve(dbc, args[3], request.out);
        FCGX_Finish_r(&request);
    }
    if (argc == 7)
        unlink(argv[1]);
    return 0;
}
