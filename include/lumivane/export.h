/* lumivane/export.h: symbol visibility and C linkage for the public interface. */
#ifndef LUMIVANE_EXPORT_H
#define LUMIVANE_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define LV_API __attribute__((visibility("default")))
#else
#define LV_API
#endif

#ifdef __cplusplus
#define LV_BEGIN_DECLS extern "C" {
#define LV_END_DECLS }
#else
#define LV_BEGIN_DECLS
#define LV_END_DECLS
#endif

#endif
