// Run-time class information, enough for IsKindOf: each class that declares
// it names itself and its base class.
#pragma once

struct CRuntimeClass;
class CObject;

struct CRuntimeClass {
    const char* m_lpszClassName;
    int m_nObjectSize;
    unsigned m_wSchema;                 // 0xFFFF: not serialisable
    CObject* (*m_pfnCreateObject)();    // null: not dynamically creatable
    const CRuntimeClass* m_pBaseClass;  // null for CObject

    bool IsDerivedFrom(const CRuntimeClass* base) const;
};

#define RUNTIME_CLASS(class_name) (&class_name::class##class_name)

#define DECLARE_DYNAMIC(class_name)               \
public:                                           \
    static const CRuntimeClass class##class_name; \
    const CRuntimeClass* GetRuntimeClass() const override;

#define IMPLEMENT_DYNAMIC(class_name, base_class_name)                                          \
    const CRuntimeClass class_name::class##class_name = {                                       \
        #class_name, int(sizeof(class_name)), 0xFFFF, nullptr, RUNTIME_CLASS(base_class_name)}; \
    const CRuntimeClass* class_name::GetRuntimeClass() const { return RUNTIME_CLASS(class_name); }

class CObject {
public:
    static const CRuntimeClass classCObject;

    virtual ~CObject() = default;
    virtual const CRuntimeClass* GetRuntimeClass() const;
    bool IsKindOf(const CRuntimeClass* cls) const;

protected:
    CObject() = default;
    CObject(const CObject&) = delete;
    CObject& operator=(const CObject&) = delete;
};
