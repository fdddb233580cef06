/* A plain C11 program that maps a document into a struct through the installed library. */
#include <vellum.h>

#include <stdio.h>
#include <string.h>

typedef struct {
    char *name;
    int64_t age;
    char code[8];
    vellum_array scores;
} person;

static const vellum_field person_fields[] = {
    VELLUM_FIELD_STRING(person, name, "name", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_I64(person, age, "age", 0),
    VELLUM_FIELD_FIXED_STRING(person, code, "code", VELLUM_OVERFLOW_FAIL, 0),
    VELLUM_FIELD_ARRAY(person, scores, "scores", VELLUM_KIND_F64_ARRAY, 0),
};
static const vellum_map person_map = VELLUM_MAP(person, person_fields);

int main(void) {
    person p;
    vellum_error error;
    const char *json = "{\"name\":\"Ada\",\"age\":36,\"code\":\"AL\",\"scores\":[1.5,2.5]}";
    if (vellum_parse_cstr(&person_map, &p, json, NULL, &error) != VELLUM_STATUS_OK) {
        fprintf(stderr, "parse failed: %s\n", error.message);
        return 1;
    }
    int ok = strcmp(p.name, "Ada") == 0 && p.age == 36 && strcmp(p.code, "AL") == 0 && p.scores.count == 2 &&
             ((double *)p.scores.items)[1] == 2.5;
    vellum_cleanup(&person_map, &p);
    if (!ok) {
        fprintf(stderr, "wrong record\n");
        return 1;
    }
    if (vellum_validate_cstr("[1, {\"a\": null}]", &error) != VELLUM_STATUS_OK) return 1;
    if (vellum_validate_cstr("{\"a\":}", &error) != VELLUM_STATUS_INVALID_JSON) return 1;
    if (vellum_parse_cstr(&person_map, &p, "{}", NULL, &error) != VELLUM_STATUS_MISSING_REQUIRED_FIELD) return 1;
    vellum_cleanup(&person_map, &p);
    puts("installed library works");
    return 0;
}
