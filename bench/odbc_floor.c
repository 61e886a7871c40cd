/* odbc_floor: the least any ODBC gateway must do for the list page of bench/run.
 *
 * Connects through the driver manager to the data source named by argv[1] (user argv[2],
 * password argv[3]), runs the query in argv[4] with a row limit of 100, and writes the rows
 * as an HTML table behind a CGI header, escaping < > & " in the values. Its time and
 * instruction count are the floor the gateway is measured against.
 *
 * Run without arguments, as a web server runs a CGI program, it takes the four from the
 * environment instead: QV_FLOOR_DSN, QV_FLOOR_USER, QV_FLOOR_PASSWORD, QV_FLOOR_QUERY.
 */
#include <sql.h>
#include <sqlext.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define COLUMNS 8
#define WIDTH 1024

static void put_escaped(const char *s, FILE *out) {
    for (; *s; ++s) {
        switch (*s) {
        case '<': fputs("&#60;", out); break;
        case '>': fputs("&#62;", out); break;
        case '&': fputs("&#38;", out); break;
        case '"': fputs("&#34;", out); break;
        default: putc(*s, out);
        }
    }
}

int main(int argc, char **argv) {
    SQLHENV env;
    SQLHDBC dbc;
    SQLHSTMT stmt;
    SQLSMALLINT columns = 0;
    static char buffers[COLUMNS][WIDTH];
    SQLLEN lengths[COLUMNS];
    static char page[1 << 16];
    const char *names[4] = {"QV_FLOOR_DSN", "QV_FLOOR_USER", "QV_FLOOR_PASSWORD", "QV_FLOOR_QUERY"};
    char *from_env[5] = {argv[0]};
    if (argc == 1) {
        for (int i = 0; i < 4; ++i)
            from_env[i + 1] = getenv(names[i]) ? getenv(names[i]) : "";
        argv = from_env;
    } else if (argc != 5) {
        fprintf(stderr, "usage: odbc_floor DSN USER PASSWORD QUERY\n");
        return 2;
    }
    setvbuf(stdout, page, _IOFBF, sizeof page);
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, (SQLPOINTER)SQL_OV_ODBC3, 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    if (!SQL_SUCCEEDED(SQLConnect(dbc, (SQLCHAR *)argv[1], SQL_NTS, (SQLCHAR *)argv[2], SQL_NTS,
                                  (SQLCHAR *)argv[3], SQL_NTS)))
        return 1;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
    SQLSetStmtAttr(stmt, SQL_ATTR_MAX_ROWS, (SQLPOINTER)100, 0);
    if (!SQL_SUCCEEDED(SQLExecDirect(stmt, (SQLCHAR *)argv[4], SQL_NTS)))
        return 1;
    SQLNumResultCols(stmt, &columns);
    if (columns > COLUMNS)
        columns = COLUMNS;
    for (SQLSMALLINT i = 0; i < columns; ++i)
        SQLBindCol(stmt, (SQLUSMALLINT)(i + 1), SQL_C_CHAR, buffers[i], WIDTH, &lengths[i]);
    fputs("Content-TYPE: text/html\n\n<HTML><BODY><TABLE>\n", stdout);
    while (SQL_SUCCEEDED(SQLFetch(stmt))) {
        fputs("<TR>", stdout);
        for (SQLSMALLINT i = 0; i < columns; ++i) {
            fputs("<TD>", stdout);
            put_escaped(lengths[i] == SQL_NULL_DATA ? "" : buffers[i], stdout);
            fputs("</TD>", stdout);
        }
        fputs("</TR>\n", stdout);
    }
    fputs("</TABLE></BODY></HTML>", stdout);
    fflush(stdout);
    return 0;
}
