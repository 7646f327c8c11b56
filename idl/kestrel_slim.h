/* Types of the interface descriptor `kestrel_slim`: the generic description of the remote
 * interface (methods, parameter types, names) that both libraries carry. Pointers are native:
 * 64-bit in the stub library, 32-bit in the Hexagon DSP library. Nothing in kestrel reads the
 * descriptor; it is there for the platform's tools. */
#ifndef KESTREL_IDL_KESTREL_SLIM_H
#define KESTREL_IDL_KESTREL_SLIM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Type codes and modes of a parameter record. */
enum {
    KESTREL_SLIM_TYPE_HANDLE = 0,
    KESTREL_SLIM_TYPE_PRIMITIVE = 2,
    KESTREL_SLIM_TYPE_STRING = 4,
};
enum { KESTREL_SLIM_MODE_IN = 0, KESTREL_SLIM_MODE_OUT = 3 };

/* Marks the handle type in the first type word. */
#define KESTREL_SLIM_HANDLE_TAG 0xdeadc0deu

typedef struct kestrel_slim_parameter {
    int32_t native_size;
    uintptr_t type_word0;
    uintptr_t type_word1; /* primitives: 1 = signed */
    uint8_t type;
    uint8_t native_alignment;
    uint8_t mode;
    uint8_t not_nil;
} kestrel_slim_parameter;

typedef struct kestrel_slim_method {
    uint32_t scalars; /* the method's scalars word without its index */
    int32_t prim_in_size;
    int32_t prim_out_size;
    int32_t max_args;
    int32_t num_params;
    const kestrel_slim_parameter* const* params; /* null when there are none */
    uint8_t prim_in_alignment;
    uint8_t prim_out_alignment;
} kestrel_slim_method;

typedef struct kestrel_slim_interface {
    int32_t num_methods;
    const kestrel_slim_method* const* method_array; /* one per method index */
    int32_t num_iids;
    const uint32_t* iids;
    const uint16_t* method_strings_arrays; /* per method index: position in method_strings */
    const uint16_t* method_strings;        /* offsets into strings */
    const char* strings;                   /* the name pool */
} kestrel_slim_interface;

/* Size of the name pool. */
#define KESTREL_SLIM_STRINGS_SIZE 163

extern const kestrel_slim_interface kestrel_slim;

#ifdef __cplusplus
}
#endif

#endif
