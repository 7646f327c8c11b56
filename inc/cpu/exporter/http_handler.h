// libmicrohttpd's callbacks of the exporter's daemons (each gets its DaemonContext, the logger
// the ServerState): requests from their head to their answer, connections from their acceptance
// to their close, and libmicrohttpd's own messages.
#pragma once

#include <microhttpd.h>

#include <cstdarg>

namespace vorlix::kestrel::exporter {

// libmicrohttpd 0.9.71 and later type their callbacks' results.
#if MHD_VERSION >= 0x00097002
using HandlerResult = MHD_Result;
#else
using HandlerResult = int;
#endif

void* on_uri(void* cls, const char* uri, MHD_Connection* connection);
void on_connection(void* cls, MHD_Connection* connection, void** socket_context,
                   MHD_ConnectionNotificationCode code);
void on_completed(void* cls, MHD_Connection* connection, void** request_context,
                  MHD_RequestTerminationCode why);
HandlerResult on_request(void* cls, MHD_Connection* connection, const char* url, const char* method,
                         const char* version, const char* upload_data, size_t* upload_data_size,
                         void** request_context);
// The format and arguments are libmicrohttpd's (printf's conventions).
__attribute__((format(printf, 2, 0))) void on_library_message(void* cls, const char* format,
                                                              va_list args);

}  // namespace vorlix::kestrel::exporter
